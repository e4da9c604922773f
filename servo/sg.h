// The servo exchange: the servo thread owns the serial line and runs one exchange cycle per tick.
// It takes the tick's hand-off (sg_mutex, sg_cond, sg_busy) from core/handoff.h.
// sv_fd and the cycle's private state belong to the servo thread (or to a test that drives it).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/handoff.h"

extern int sv_fd;  // the serial line, opened by sg_init

void* pthread_sg(void* p);  // entry of the servo thread; never returns
void sg_init();             // opens and sets up the line, presets sv_pos; exits on failure
// Presets every sv_pos word to "no reading". Start-up calls it before any host can connect, so
// that no host reads the map's initial zeroes as positions; sg_init presets them again.
void sg_preset();
void sg_proc();             // one exchange cycle
// Both long packets for the first n servos of the write list, each entry read from the map as
// it is built; returns their length.
size_t sg_build_longs(uint8_t* buf, uint8_t n, bool torque_on);
// Reads exactly `count` bytes: count, 0 if the line fell silent first, negative on an error.
ssize_t read0(int fd, void* buf, size_t count);

// The servo exchange: the servo thread owns the serial line and runs one exchange cycle per tick.
// sg_mutex is held by the servo thread only; the tick thread reads sg_busy and signals sg_cond.
// sv_fd and the cycle's private state belong to the servo thread (or to a test that drives it).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

extern pthread_mutex_t sg_mutex;  // held by the servo thread for its wait and every cycle
extern pthread_cond_t sg_cond;    // signalled by the tick thread to wake the servo thread
extern std::atomic<int> sg_busy;  // 1 while a cycle runs; written by the servo thread only
extern int sv_fd;                 // the serial line, opened by sg_init

void* pthread_sg(void* p);  // entry of the servo thread; never returns
void sg_init();             // opens and sets up the line, presets sv_pos; exits on failure
void sg_proc();             // one exchange cycle
// Reads exactly `count` bytes: count, 0 if the line fell silent first, negative on an error.
ssize_t read0(int fd, void* buf, size_t count);

// Standard output: the overrun marks and the power-off line, written by a writer thread of their
// own, so that a reader that stalls or goes away never holds up the tick or the control loop.
// The tick thread counts marks (out_mark); the control loop hands over its line (out_say).
#pragma once

#include <chrono>

void out_init(int fd);  // starts the writer on `fd` (1 in the daemon); once per process
void out_mark();        // counts one overrun mark: constant time, never waits, any thread
// Writes `line` (a string that lives as long as the process) after every mark counted so far;
// false when it was not out within `limit` (the writer is stuck on a stalled reader): the line
// then follows once output flows.
bool out_say(const char* line, std::chrono::milliseconds limit);

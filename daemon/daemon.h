// Start-up and the control loop. orvane_main runs on the process's initial thread, brings the
// hardware and the threads up, then becomes the control loop; sys_t1 belongs to that thread.
// daemon.cpp is the top of the daemon: the one file of core/ that sees the subsystems (servo/,
// monitor/, board/); the rest of core/ is the ground floor they stand on, and the build keeps it so.
#pragma once

#include <cstdint>

extern int32_t sys_t1;  // ticks consumed by the control loop

enum class ctl { idle, pass, end };

int orvane_main();  // returns only on an exit or power-off request, with the process's status
ctl ctl_step();     // one turn of the control loop: a pass if ticks have come since the last one
extern int ctl_status;  // the status that ends the daemon, set by the pass that sees a request
// The daemon's exit status for a power-off command's wait status (as system returns it): the
// command's exit code, the low byte for a command killed by a signal, 127 if no shell started.
int ctl_poweroff_status(int wait_status);

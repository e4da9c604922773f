// The runner's servo stand-in: the virtual servo chain, unless a real serial line is named.
// Set up by sim_servo_start on the initial thread and never destroyed (the daemon may end the
// process while its thread runs); the console reads and faults it from its own thread.
#pragma once

#include "sim/servo_chain.h"

extern servo_chain* sim_chain;  // null when --serial names a real line

// The runner's console: commands from standard input that work the virtual switches, show the
// virtual servos and LED boards, and make servos fall silent. It reads on a thread of its own
// and answers on standard error, so standard output stays the daemon's.
#pragma once

#include <string>

std::string sim_console_do(const std::string& line);  // runs one command line; its answer

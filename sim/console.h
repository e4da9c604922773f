// The runner's console: commands from standard input that work the virtual switches, show the
// virtual servos and LED boards, and make servos fall silent. It reads on a thread of its own
// and answers on standard error, so standard output stays the daemon's. Whatever else the runner
// shows while a prompt may stand goes through sim_console_say, under the console's lock.
// The commands are in console.cpp; the prompt and the reading thread in console_io.cpp.
#pragma once

#include <string>

std::string sim_console_do(const std::string& line);  // runs one command line; its answer
void sim_console_say(const std::string& text);  // shows text above the prompt; any thread
void sim_console_ready();  // the monitor listens: the console may prompt; any thread, once
void sim_console_close();  // ends the prompt's line before the runner ends; any thread

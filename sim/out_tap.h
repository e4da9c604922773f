// The daemon's standard output, taken in by the runner while the console holds a terminal: the
// overrun marks (spaces) are counted instead of landing in the prompt's line, and every other
// line the daemon prints (a set-up failure, the power-off line) is shown above the prompt.
// Started on the initial thread before the daemon; a thread of its own reads the pipe, and an
// exit's drain takes what is left under the same lock. Any thread may read the count.
#pragma once

#include <cstdint>

bool sim_tap_start();      // descriptor 1 becomes the tap's pipe; false (unchanged) if it cannot
bool sim_tap_on();         // whether the tap holds standard output
uint64_t sim_tap_marks();  // overrun marks counted so far
void sim_tap_drain();      // shows what the daemon wrote and the thread has not yet taken

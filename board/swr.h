// Switch inputs: five GPIO pins read through the mapped GPIO block into the sw_in map words.
// The mapping and the pins belong to the control-loop thread (the process's initial thread).
#pragma once

#include <cstdint>

extern volatile uint32_t* gpio;  // the mapped GPIO register block; set once by gpio_init

void gpio_init();  // maps the GPIO block; exits on failure
void swr_init();   // gpio_init, then the five switch pins become inputs
void swr_proc();   // samples the five pins into sw_in

// Switch inputs: five GPIO pins read through the mapped GPIO block into the sw_in map words.
// The mapping and the pins belong to the control-loop thread (the process's initial thread).
#pragma once

#include <cstdint>

extern volatile uint32_t* gpio;  // the mapped GPIO register block; set once by gpio_init

// Register words of the GPIO block (byte offset / 4) and its mapped size.
constexpr int GPIO_FSEL0 = 0;   // function select of GPIO 0..9, 3 bits per pin
constexpr int GPIO_FSEL2 = 2;   // function select of GPIO 20..29
constexpr int GPIO_LEV0 = 13;   // levels of GPIO 0..31, 1 = high
constexpr unsigned GPIO_MAP_SIZE = 4096;

constexpr int SWR_COUNT = 5;
constexpr int swr_gpio[SWR_COUNT] = {22, 23, 24, 25, 4};  // pin of each sw_in word, in order

void gpio_init();  // maps the GPIO block; exits on failure
void swr_init();   // gpio_init, then the five switch pins become inputs
void swr_proc();   // samples the five pins into sw_in

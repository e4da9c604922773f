// The runner's board stand-ins: the virtual GPIO block and, unless a real bus is named, the
// virtual LED boards. Set up by sim_board_start on the initial thread, never destroyed (the
// daemon may end the process while their threads run); the console reads them from its thread.
#pragma once

#include "sim/gpio_block.h"
#include "sim/led_boards.h"

extern gpio_block* sim_gpio;  // the switches; null before sim_board_start
extern led_boards* sim_leds;  // null when --i2c names a real bus

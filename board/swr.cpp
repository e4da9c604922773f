#include "board/swr.h"

volatile uint32_t* gpio;

// Placeholders until the switch inputs land.
void gpio_init() {}
void swr_init() { gpio_init(); }
void swr_proc() {}

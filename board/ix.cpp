#include "board/ix.h"

int i2c_fd = -1;
uint8_t i2c_tx_buf[16];
volatile int write_r;

// Placeholders until the LED output lands.
void i2c_init() {}
void ix_proc() {}
void ix_proc_led() {}
void ix_proc_led0(int, int) {}

// LED output: two LED boards on the I2C bus, refreshed from interpolator channels 64..79.
// The descriptor and the transmit buffer belong to the control-loop thread.
#pragma once

#include <cstdint>

extern int i2c_fd;               // the I2C bus, opened once by i2c_init
extern uint8_t i2c_tx_buf[16];   // the packet being sent
extern volatile int write_r;     // result of the latest packet write

void i2c_init();  // opens the bus; exits on failure
void ix_proc();   // sends both boards' packets while led_on is nonzero
void ix_proc_led();
void ix_proc_led0(int i2cadr, int memadr);

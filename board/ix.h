// LED output: two LED boards on the I2C bus, refreshed from interpolator channels 64..79.
// The descriptor, the transmit buffer and each board's slow-bus state belong to the control-loop
// thread; the tick's period (timer0_period) is only read.
#pragma once

#include <cstdint>

#include "core/map.h"

extern int i2c_fd;               // the I2C bus, opened once by i2c_init
extern uint8_t i2c_tx_buf[16];   // the packet being sent
extern volatile int write_r;     // result of the latest packet write

// The LED packet: fixed bytes around eight LED values, one per channel.
constexpr int IX_PACKET_SIZE = 15;
constexpr int IX_LEDS = 8;
constexpr int IX_DATA = 3;  // index of the first LED value in the packet
constexpr uint8_t ix_head[IX_DATA] = {0x80, 0x80, 0x00};
constexpr uint8_t ix_tail[IX_PACKET_SIZE - IX_DATA - IX_LEDS] = {0x80, 0x05, 0xAA, 0xAA};

// The boards: address in 8-bit form (twice the 7-bit slave address) and first channel word.
constexpr int IX_BOARD_A = 8;
constexpr int IX_BOARD_B = 10;

void i2c_init();  // opens the bus; exits on failure
void ix_proc();   // sends both boards' packets while led_on is nonzero
void ix_proc_led();
void ix_proc_led0(int i2cadr, int memadr);

#include "board/ix.h"

#include <sys/ioctl.h>
#include <unistd.h>


#include "core/map.h"
#include "core/platform.h"

// The i2c-dev request that sets the slave address of later writes on the descriptor.
#ifndef I2C_SLAVE
#define I2C_SLAVE 0x0703
#endif

int i2c_fd = -1;
uint8_t i2c_tx_buf[16];
volatile int write_r;

void i2c_init()
{
  i2c_fd = plat_open(plat.i2c_path);
}

// A board that is absent or does not acknowledge shows only in write_r; the next pass sends
// fresh packets, so nothing is retried here.
void ix_proc_led0(int i2cadr, int memadr)
{
  for (int i = 0; i < IX_DATA; i++)
    i2c_tx_buf[i] = ix_head[i];
  for (int k = 0; k < IX_LEDS; k++)
    i2c_tx_buf[IX_DATA + k] = static_cast<uint8_t>(mem_ru16(static_cast<uint32_t>(memadr + 2 * k)));
  for (int i = 0; i < IX_PACKET_SIZE - IX_DATA - IX_LEDS; i++)
    i2c_tx_buf[IX_DATA + IX_LEDS + i] = ix_tail[i];
  ioctl(i2c_fd, I2C_SLAVE, i2cadr / 2);
  write_r = static_cast<int>(write(i2c_fd, i2c_tx_buf, IX_PACKET_SIZE));
}

void ix_proc_led()
{
  ix_proc_led0(IX_BOARD_A, MAP_LED_A);
  ix_proc_led0(IX_BOARD_B, MAP_LED_B);
}

void ix_proc()
{
  if (mem_r16(MAP_LED_ON) != 0)
    ix_proc_led();
}

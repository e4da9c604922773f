#include "board/ix.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/map.h"
#include "core/platform.h"
#include "core/tick.h"

// The i2c-dev requests that set the slave address of later writes on the descriptor, and the
// bus's time-out in units of 10 ms.
#ifndef I2C_SLAVE
#define I2C_SLAVE 0x0703
#endif
#ifndef I2C_TIMEOUT
#define I2C_TIMEOUT 0x0702
#endif

int i2c_fd = -1;
uint8_t i2c_tx_buf[16];
volatile int write_r;
static bool ix_held[2];       // the board's last write timed out: it waits for ix_retry
static uint32_t ix_retry[2];  // the tick (sys_t0) from which a held board is tried again

// A bus that times out (a controller that never answers, a board that holds the clock) made
// each write wait for the kernel's default time-out of 1 s, two per pass: the control loop ran
// at 0.5 passes/s, and motion, exits and power-off stalled with it. The bus now gives up after
// IX_BUS_TIMEOUT, and a board whose write timed out waits before it is tried again.
constexpr unsigned long IX_BUS_TIMEOUT = 5;  // 50 ms, in I2C_TIMEOUT's units of 10 ms
constexpr int64_t IX_SLOW_US = 30000;        // a write that took longer counts as timed out
constexpr int64_t IX_HOLD_US = 1000000;      // a timed-out board waits at least this long,
constexpr int64_t IX_HOLD_FACTOR = 20;       // and 20 times what its write took: a bus that
                                             // ignores the time-out costs at most 1/20 of the time

void i2c_init()
{
  i2c_fd = plat_open(plat.i2c_path);
  // A stand-in (a FIFO) refuses the request; its slow writes are caught by their length.
  ioctl(i2c_fd, I2C_TIMEOUT, IX_BUS_TIMEOUT);
  ix_held[0] = ix_held[1] = false;
}

// The tick counter is the clock here: reading it costs no system call on the pass.
static int64_t ix_period_us()
{
  int32_t p = static_cast<int32_t>(mem_ru32(MAP_TICK_PERIOD));
  return p >= 1 && p <= 999999 ? p : 16667;
}

static uint32_t ix_now() { return static_cast<uint32_t>(sys_t0.load(std::memory_order_relaxed)); }

// After a write that began at tick t0: whether it timed out (ETIMEDOUT from the bus, or longer
// than IX_SLOW_US, for a bus or a stand-in that says nothing), and if so, when to try again.
static void ix_judge(int b, ssize_t r, int err, uint32_t t0)
{
  uint32_t ticks = ix_now() - t0;
  int64_t period = ix_period_us();
  // The write began somewhere in its first tick: only the ticks after that one surely passed.
  int64_t took_us = ticks > 1 ? static_cast<int64_t>(ticks - 1) * period : 0;
  ix_held[b] = (r < 0 && err == ETIMEDOUT) || took_us > IX_SLOW_US;
  if (ix_held[b]) {
    int64_t hold_us = std::max(IX_HOLD_US, IX_HOLD_FACTOR * took_us);
    ix_retry[b] = ix_now() + static_cast<uint32_t>((hold_us + period - 1) / period);
  }
}

// A board that is absent or does not acknowledge shows only in write_r; the next pass sends
// fresh packets, so nothing is retried here. Only a board whose write timed out is skipped, until
// its time comes again.
void ix_proc_led0(int i2cadr, int memadr)
{
  int b = i2cadr == IX_BOARD_A ? 0 : 1;
  if (ix_held[b] && static_cast<int32_t>(ix_now() - ix_retry[b]) < 0)
    return;
  for (int i = 0; i < IX_DATA; i++)
    i2c_tx_buf[i] = ix_head[i];
  for (int k = 0; k < IX_LEDS; k++)
    i2c_tx_buf[IX_DATA + k] = static_cast<uint8_t>(mem_ru16(static_cast<uint32_t>(memadr + 2 * k)));
  for (int i = 0; i < IX_PACKET_SIZE - IX_DATA - IX_LEDS; i++)
    i2c_tx_buf[IX_DATA + IX_LEDS + i] = ix_tail[i];
  ioctl(i2c_fd, I2C_SLAVE, i2cadr / 2);
  uint32_t t0 = ix_now();
  ssize_t r = write(i2c_fd, i2c_tx_buf, IX_PACKET_SIZE);
  int err = errno;
  write_r = static_cast<int>(r);
  ix_judge(b, r, err, t0);
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

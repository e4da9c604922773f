#include "board/ix.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

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

// A board's standing on a slow bus: slow writes in a row, holds in a row, and whether it is left
// out of the passes until retry_ns.
struct ix_state {
  int strikes;
  int holds;
  bool held;
  int64_t retry_ns;
};
static ix_state ix_board[2];

// A bus that times out (a controller that never answers, a board that holds the clock) made
// each write wait for the kernel's default time-out of 1 s, two per pass: the control loop ran
// at 0.5 passes/s, and motion, exits and power-off stalled with it. The bus now gives up after
// IX_BUS_TIMEOUT, and a board whose writes are slow waits before it is tried again.
constexpr unsigned long IX_BUS_TIMEOUT = 5;  // 50 ms, in I2C_TIMEOUT's units of 10 ms
// A write is slow when it takes more than a quarter of the tick, so that both boards together
// leave the pass at least half of it: 4.2 ms at 60 Hz, nearly three times the 1.5 ms that a
// 15-byte write takes at 100 kHz. Never less than IX_BUDGET_MIN_NS, so that a fast tick does not
// call a sound bus slow.
constexpr int64_t IX_BUDGET_MIN_NS = 2000000;
// Slow writes in a row that hold a board: one alone may be the scheduler's, which took the loop
// off the CPU between the two clock readings around the write.
constexpr int IX_STRIKES = 2;
// A held board waits a second, twice that after a second hold in a row and four times after a
// third and later ones, and at least 20 times what its write took: a bus that ignores the
// time-out costs at most 1/20 of the time, and a slow one costs one write per board every 4 s
// (45 ms writes, probed every second, cost 5 of the 60 passes). A bus that comes back gets its
// packets again within 4 s.
constexpr int64_t IX_HOLD_NS = 1000000000;
constexpr int IX_HOLD_DOUBLINGS = 2;
constexpr int64_t IX_HOLD_FACTOR = 20;

void i2c_init()
{
  i2c_fd = plat_open(plat.i2c_path);
  // A stand-in (a FIFO) refuses the request; its slow writes are caught by their time.
  ioctl(i2c_fd, I2C_TIMEOUT, IX_BUS_TIMEOUT);
  ix_board[0] = ix_board[1] = ix_state{0, 0, false, 0};
}

// The monotonic clock in nanoseconds. Read once before the pass's first packet and once after
// each write, the end of board A's write being the start of board B's: three readings a pass
// with both boards, one while both are held. On the PC a reading is a call into the vDSO, no
// system call; the ARM1176's kernel has no vDSO (it comes with ARMv7), so there each is a system
// call of a few microseconds, well under 0.1 % of a 16.7 ms pass for the three.
static int64_t ix_clock()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// The tick the timer keeps (not the map's value, which may be one it refused).
static int64_t ix_budget_ns() { return std::max(IX_BUDGET_MIN_NS, int64_t{timer0_period()} * 250); }

// After a write that took `took_ns` and ended at `now`: a write that timed out on the bus
// (ETIMEDOUT) holds its board at once, slow ones after IX_STRIKES in a row; one in time frees it.
static void ix_judge(ix_state* s, ssize_t r, int err, int64_t took_ns, int64_t now)
{
  bool timed_out = r < 0 && err == ETIMEDOUT;
  if (!timed_out && took_ns <= ix_budget_ns()) {
    *s = ix_state{0, 0, false, 0};
    return;
  }
  s->strikes = timed_out ? IX_STRIKES : std::min(s->strikes + 1, IX_STRIKES);
  s->held = s->strikes >= IX_STRIKES;
  if (!s->held)
    return;
  int64_t hold = IX_HOLD_NS << std::min(s->holds, IX_HOLD_DOUBLINGS);
  s->retry_ns = now + std::max(hold, IX_HOLD_FACTOR * took_ns);
  s->holds = std::min(s->holds + 1, IX_HOLD_DOUBLINGS);
}

// One board's packet, unless the board is held; *now is the clock when the packet's turn began,
// and afterwards when its write ended. A board that is absent or does not acknowledge shows only
// in write_r; the next pass sends fresh packets, so nothing is retried here.
static void ix_send(int i2cadr, int memadr, int64_t* now)
{
  ix_state* s = &ix_board[i2cadr == IX_BOARD_A ? 0 : 1];
  if (s->held && *now < s->retry_ns)
    return;
  for (int i = 0; i < IX_DATA; i++)
    i2c_tx_buf[i] = ix_head[i];
  for (int k = 0; k < IX_LEDS; k++)
    i2c_tx_buf[IX_DATA + k] = static_cast<uint8_t>(mem_ru16(static_cast<uint32_t>(memadr + 2 * k)));
  for (int i = 0; i < IX_PACKET_SIZE - IX_DATA - IX_LEDS; i++)
    i2c_tx_buf[IX_DATA + IX_LEDS + i] = ix_tail[i];
  ioctl(i2c_fd, I2C_SLAVE, i2cadr / 2);
  ssize_t r = write(i2c_fd, i2c_tx_buf, IX_PACKET_SIZE);
  int err = errno;
  write_r = static_cast<int>(r);
  int64_t began = *now;
  *now = ix_clock();
  ix_judge(s, r, err, *now - began, *now);
}

void ix_proc_led0(int i2cadr, int memadr)
{
  int64_t now = ix_clock();
  ix_send(i2cadr, memadr, &now);
}

void ix_proc_led()
{
  int64_t now = ix_clock();
  ix_send(IX_BOARD_A, MAP_LED_A, &now);
  ix_send(IX_BOARD_B, MAP_LED_B, &now);
}

void ix_proc()
{
  if (mem_r16(MAP_LED_ON) != 0)
    ix_proc_led();
}

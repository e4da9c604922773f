#include "servo/sg.h"

#include <termios.h>
#include <unistd.h>

#include <ctime>

#include "core/map.h"
#include "core/platform.h"
#include "servo/packet.h"

int sv_fd = 0;

constexpr int64_t SV_BYTE_NS = 86806;   // a byte on the line: 10 bits at 115200 baud
constexpr int64_t SV_TURN_NS = 100000;  // a servo's usual delay before it answers
// The line's own delay in handing on bytes that have arrived: the robot's UART holds the last
// few of a burst for its receive time-out (up to 0.28 ms), the virtual line's thread wakes late
// on a busy PC. Measured on a loaded 2-core VM: without it a cycle of the initial map woke 3.1
// times on the line instead of 2; with 0.1 ms, 2.25 times, for 0.16 ms more per cycle.
constexpr int64_t SV_SETTLE_NS = 100000;

static int read_i;  // read group to poll in the next cycle, 0..3
// Set when a read came up short or a reply was refused: bytes may be left on the line that
// would shift every later read, so the next cycle drops what is pending before it sends.
static bool sv_resync;

void sg_init()
{
  sv_fd = plat_open(plat.serial_path);
  tcflush(sv_fd, TCIFLUSH);
  tcflush(sv_fd, TCOFLUSH);
  termios t{};
  t.c_iflag = IGNPAR;
  t.c_oflag = 0;
  t.c_cflag = CS8 | CREAD | CLOCAL;
  t.c_lflag = 0;
  t.c_cc[VTIME] = 1;  // a read gives up after 0.1 s without a byte
  t.c_cc[VMIN] = 0;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(sv_fd, TCSANOW, &t);
  sg_preset();
  read_i = 0;
  sv_resync = false;
}

void sg_preset()
{
  for (unsigned id = 1; id <= MAP_SV_IDS; id++)
    mem_w16(map_sv_pos(static_cast<uint8_t>(id)), static_cast<uint16_t>(SV_NO_READING));
}

ssize_t read0(int fd, void* buf, size_t count)
{
  auto* p = static_cast<uint8_t*>(buf);
  size_t got = 0;
  while (got < count) {
    ssize_t r = read(fd, p + got, count - got);
    if (r <= 0)
      return r;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// Sleeps, from the return of the write that just put them on the line, until `bytes` sent or
// answered must all be on its receive side, plus `turn` for a servo's delay before its answer
// and the line's own delay. The line hands bytes on in groups of a few as they arrive, and a
// read woke for every group: about ten wake-ups per cycle with the initial map. Reading after
// the bytes' wire time takes them in one. Bytes that come later still reach read0, which waits
// for them as before; a sleep cut short by a signal only reads earlier.
// The sleep is counted from the write's return rather than from a clock read before it: the
// robot's kernel has no clock page for its CPU, so each clock read is a system call, two per
// cycle, and the write's few microseconds are well inside SV_SETTLE_NS.
static void sg_settle(size_t bytes, int64_t turn)
{
  int64_t ns = static_cast<int64_t>(bytes) * SV_BYTE_NS + turn + SV_SETTLE_NS;
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

// Entry i of the write list, read from the map as the builder reaches it.
static sv_entry sg_entry(const void*, uint32_t i, uint8_t reg)
{
  uint8_t id = mem_r8(MAP_WR_IDS + i);
  return {id, mem_r16(reg == SV_REG_GOAL ? map_sv_goal(id) : map_sv_torque(id))};
}

size_t sg_build_longs(uint8_t* buf, uint8_t n, bool torque_on)
{
  return sv_build_longs(buf, n, torque_on, {sg_entry, nullptr});
}

// Only ids 1..32 have a position word. Any other id is still asked, but its answer is not kept:
// id 0's word would be ip_count of channels 126-127, and ids above 32 land on host bytes.
static void sg_store(uint8_t id, uint16_t pos)
{
  if (id >= 1 && id <= MAP_SV_IDS)
    mem_w16(map_sv_pos(id), pos);
}

// Asks one servo for its present position and stores the answer, or 0x8000 for none. The line
// is half-duplex: the query comes back first, then the reply; both are read in one call, as
// they are due together. A failed write put nothing on the line, and nothing is read.
static bool sg_ask(uint8_t* buf, uint8_t id)
{
  size_t n = sv_build_query(buf, id);
  ssize_t wrote = write(sv_fd, buf, n);
  ssize_t got = -1;
  if (wrote > 0) {
    size_t echo = static_cast<size_t>(wrote);
    sg_settle(echo + SV_REPLY_LEN, SV_TURN_NS);
    got = read0(sv_fd, buf, echo + SV_REPLY_LEN);
    if (got > 0)
      got = SV_REPLY_LEN;  // read0 gives all it was asked for or nothing
    buf += echo;
  }
  uint16_t pos;
  if (sv_accept_reply(buf, got, id, &pos)) {
    sg_store(id, pos);
    return true;
  }
  sg_store(id, static_cast<uint16_t>(SV_NO_READING));
  sv_resync = true;
  return false;
}

static uint32_t sg_group(int g) { return MAP_RD_GROUP + MAP_RD_GROUP_SIZE * static_cast<uint32_t>(g); }

// Ids past a group's 14 would be the next group's bytes.
static unsigned sg_group_count(uint32_t sbus)
{
  unsigned c = mem_r8(sbus + 1);
  return c < MAP_RD_ROOM ? c : MAP_RD_ROOM;
}

static bool sg_group_ready(int g)
{
  uint32_t sbus = sg_group(g);
  return mem_r8(sbus) == 1 && mem_r8(sbus + 1) != 0;
}

void sg_proc()
{
  if (mem_r16(MAP_SV_COMM_ON) == 0)
    return;
  if (sv_resync) {
    tcflush(sv_fd, TCIFLUSH);
    sv_resync = false;
  }
  uint8_t buf[SV_BUF_SIZE];

  // Ids past the list's 30 would be the read groups' bytes.
  uint8_t n = mem_r8(MAP_WR_COUNT);
  if (n > MAP_WR_ROOM)
    n = MAP_WR_ROOM;
  bool torque_on = mem_r16(MAP_SV_TORQUE_ON) != 0;
  size_t len = sg_build_longs(buf, n, torque_on);
  // Their echo is read back before any servo is asked; a failed write put nothing on the line.
  ssize_t wrote = write(sv_fd, buf, len);
  if (wrote > 0) {
    sg_settle(static_cast<size_t>(wrote), 0);
    if (read0(sv_fd, buf, static_cast<size_t>(wrote)) != wrote)
      sv_resync = true;
  }

  // The count is read again after every answer, so a host can shorten a group mid-poll.
  int g = read_i;
  uint32_t sbus = sg_group(g);
  if (mem_r8(sbus) == 1) {
    for (unsigned j = 0; j < sg_group_count(sbus); j++) {
      if (!sg_ask(buf, mem_r8(sbus + 2 + j)))
        break;
    }
  }

  for (int k = 1; k <= 4; k++) {
    int h = (g + k) % 4;
    if (sg_group_ready(h)) {
      read_i = h;
      break;
    }
  }
}

void* pthread_sg(void*)
{
  sg_init();
  for (;;) {
    pthread_mutex_lock(&sg_mutex);
    pthread_cond_wait(&sg_cond, &sg_mutex);
    sg_busy.store(1, std::memory_order_relaxed);
    sg_proc();
    sg_busy.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&sg_mutex);
  }
  return nullptr;
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "board/ix.h"
#include "daemon/daemon.h"
#include "core/image.h"
#include "core/map.h"
#include "core/platform.h"
#include "core/tick.h"
#include "sim/led_boards.h"
#include "sim/sim.h"
#include "support/sim_process.h"

using namespace std::chrono_literals;

namespace {

using bytes = std::vector<uint8_t>;

bytes packet_bytes(const led_packet& p) { return bytes(p.bytes, p.bytes + IX_PACKET_SIZE); }

bytes packet_of(const uint8_t (&l)[IX_LEDS])
{
  return {0x80, 0x80, 0x00, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7], 0x80, 0x05, 0xaa, 0xaa};
}

// The daemon's LED output on the bus of fresh virtual LED boards.
struct LedOutput : ::testing::Test {
  std::unique_ptr<led_boards> boards = std::make_unique<led_boards>();
  std::thread reader;
  const char* saved_path = plat.i2c_path;

  void SetUp() override
  {
    ASSERT_TRUE(sim_dir_make());
    ASSERT_TRUE(boards->init(sim_path("i2c")));
    reader = std::thread([b = boards.get()] { b->run(); });
    plat.i2c_path = boards->path().c_str();
    mem_init();
    i2c_init();
  }
  void TearDown() override
  {
    boards->stop();
    if (reader.joinable())
      reader.join();
    close(i2c_fd);
    i2c_fd = -1;
    plat.i2c_path = saved_path;
    sim_cleanup();
  }

  static void set_channel(int ch, int16_t v) { mem_w16(MAP_IP_OUT + 2u * ch, static_cast<uint16_t>(v)); }

  // Runs `fn` and returns the packets that come of it, once `n` have arrived.
  template <class F>
  std::vector<led_packet> sent(size_t n, F fn)
  {
    uint64_t from = boards->count();
    fn();
    EXPECT_TRUE(boards->wait_count(from + n, 10s));
    return boards->packets(from);
  }
};

}  // namespace

TEST_F(LedOutput, PacketsCarryTheLowByteOfEachChannelBetweenTheFixedBytes)
{
  const int16_t a[IX_LEDS] = {0x0123, -1, 256, 0, 255, 0x7f80, -256, 1};
  const int16_t b[IX_LEDS] = {-32768, 32767, 0x00aa, 0x5501, -2, 128, 2, 0x1000};
  for (int k = 0; k < IX_LEDS; k++) {
    set_channel(64 + k, a[k]);
    set_channel(72 + k, b[k]);
  }
  auto p = sent(2, [] { ix_proc(); });
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(packet_bytes(p[0]), packet_of({0x23, 0xff, 0x00, 0x00, 0xff, 0x80, 0x00, 0x01}));
  EXPECT_EQ(packet_bytes(p[1]), packet_of({0x00, 0xff, 0xaa, 0x01, 0xfe, 0x80, 0x02, 0x00}));
  EXPECT_EQ(write_r, IX_PACKET_SIZE);
  EXPECT_EQ(boards->bad(), 0u);
}

// Packets sent while led_on is 0 would reach the FIFO before those of the enabled pass and so
// show up first, with the values they were given.
TEST_F(LedOutput, LedOnZeroSendsNothingAndAnyNonzeroValueSendsBoth)
{
  for (uint16_t on : {1, 0xffff, 0x8000, 0x0100}) {
    auto p = sent(2, [on] {
      mem_w16(MAP_LED_ON, 0);
      set_channel(64, 0x11);
      set_channel(72, 0x11);
      for (int i = 0; i < 3; i++)
        ix_proc();
      mem_w16(MAP_LED_ON, on);
      set_channel(64, 0x22);
      set_channel(72, 0x33);
      ix_proc();
    });
    ASSERT_EQ(p.size(), 2u) << "led_on " << on;
    EXPECT_EQ(p[0].bytes[IX_DATA], 0x22) << "led_on " << on;
    EXPECT_EQ(p[1].bytes[IX_DATA], 0x33) << "led_on " << on;
  }
}

// Whole control-loop passes: the values sent are the ones the interpolator computed in the same
// pass, one step per pass, and in every pass board A's packet comes before board B's.
TEST_F(LedOutput, ALedRampThroughTheInterpolatorArrivesPassByPassBoardAFirst)
{
  mem_w16(MAP_IP_TARGET + 2 * 64, 200);
  mem_w16(MAP_IP_TARGET + 2 * 79, 100);
  mem_w8(MAP_TTIME, 4);
  sys_t1 = sys_t0.load();
  std::vector<int> a, b;
  for (int pass = 0; pass < 5; pass++) {
    auto p = sent(2, [] {
      sys_t0.fetch_add(1);
      ASSERT_EQ(ctl_step(), ctl::pass);
    });
    ASSERT_EQ(p.size(), 2u);
    a.push_back(p[0].bytes[IX_DATA]);
    b.push_back(p[1].bytes[IX_DATA + 7]);
    EXPECT_EQ(p[0].bytes[IX_DATA], mem_ru16(MAP_IP_OUT + 2 * 64) & 0xff);
  }
  EXPECT_EQ(a, (std::vector<int>{50, 100, 150, 200, 200}));
  EXPECT_EQ(b, (std::vector<int>{25, 50, 75, 100, 100}));
}

// A board whose writes are slow is left out for a time of the clock's, whatever the ticks do.
// Judged and held in ticks, a write took no time at all while no tick came, and a hold of 60
// ticks lasted a minute at a 1 Hz tick and a few milliseconds at a flat-out one.
TEST_F(LedOutput, SlowBoardsAreLeftOutForTheirTimeWhateverTheTicksDo)
{
  // Each write but the first of a turn waits up to 0.2 s; a board held for such writes is left
  // out for 20 times as long, about 4 s. The reader's next turn brings the stall in.
  boards->stall(200ms);
  std::this_thread::sleep_for(200ms);
  for (int pass = 0; pass < 8; pass++) {
    std::this_thread::sleep_for(17ms);
    ix_proc();
  }
  boards->stall(0ms);
  std::this_thread::sleep_for(200ms);  // the reader takes what was written
  uint64_t n = boards->count();
  sys_t0.fetch_add(1000000);  // as many ticks as a flat-out timer counts in a minute
  for (int pass = 0; pass < 3; pass++)
    ix_proc();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(boards->count(), n) << "a slow board was not left out";
  // No tick comes, and still both boards get their packets again once their time is up.
  EXPECT_TRUE(wait_until([&] {
    ix_proc();
    return boards->count() >= n + 4;
  }, 20s, 50ms));
  EXPECT_EQ(boards->bad(), 0u);
}

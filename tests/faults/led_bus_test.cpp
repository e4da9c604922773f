// Faults on the LED boards' bus, with the whole daemon running: orvane-sim writes to virtual LED
// boards that this test serves itself (--i2c), so the bus can be made to stall. The boards sit on
// a FIFO, where the slave address is not seen: a stall holds both boards alike, and a board that
// stalls beside one that answers can only be shown on a real bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "core/map.h"
#include "sim/led_boards.h"
#include "support/daemon_watch.h"
#include "support/emulation.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

TEST(LedBusFaults, StalledBusCostsTheLoopLittleAndBothBoardsGetEveryPassOnceItAnswers)
{
  ORVANE_SKIP_IF_EMULATED();
  TempDir dir;
  led_boards boards;
  ASSERT_TRUE(boards.init(dir.file("i2c")));
  std::thread reader([&] { boards.run(); });
  {
    SimProcess sim({"--i2c", boards.path(), "--no-console"});
    MonitorClient host;
    ASSERT_GT(sim.port(), 0) << sim.err();
    ASSERT_TRUE(host.connect(sim.port())) << sim.err();
    ASSERT_TRUE(boards.wait_count(20, 20s));

    // One write let through every 0.1 s: waiting for each, the loop made about 5 passes a second.
    boards.stall(100ms);
    std::this_thread::sleep_for(500ms);
    uint32_t stalled = daemon_passes(host, 2s);
    EXPECT_GT(stalled, 40u) << "passes in 2 s with the bus stalled";
    printf("stalled LED bus: %u passes in 2 s\n", stalled);

    boards.stall(0ms);
    // Packets against passes over half a second, give or take the window's edges.
    auto every_pass = [&] {
      uint64_t c0 = boards.count();
      uint32_t l0 = host.read_u32(MAP_LOOP_COUNT);
      std::this_thread::sleep_for(500ms);
      uint64_t c1 = boards.count();
      uint32_t l1 = host.read_u32(MAP_LOOP_COUNT);
      return l1 - l0 >= 10 && c1 - c0 + 4 >= 2 * uint64_t{l1 - l0};
    };
    EXPECT_TRUE(wait_until(every_pass, 20s, 10ms)) << "the boards did not come back every pass";
    EXPECT_EQ(boards.bad(), 0u);
    EXPECT_TRUE(daemon_ticking(host));
  }
  boards.stop();
  reader.join();
}

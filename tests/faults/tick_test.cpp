// A tick period of 1 us written by a host: the daemon ticks as fast as it can, yet the monitor
// keeps answering, and writing 16667 back brings the tick rate back to 60 per second.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/map.h"
#include "support/daemon_watch.h"
#include "support/emulation.h"
#include "support/sim_line.h"
#include "support/sim_process.h"

TEST(TickFaults, OneMicrosecondPeriodKeepsTheMonitorAnsweringAndRecovers)
{
  ORVANE_SKIP_IF_EMULATED();
  SimLine t;
  auto before = whole_map(t.host);
  uint32_t idle = daemon_passes(t.host, 2s);

  size_t marks0 = t.sim.out().size();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(t.host.write_u32(MAP_TICK_PERIOD, 1));
  // The monitor answers every read in its usual deadline while the ticks race.
  uint32_t first = t.host.read_u32(MAP_LOOP_COUNT), last = first;
  for (int i = 0; i < 20; i++) {
    auto b = t.host.read_map(MAP_LOOP_COUNT, 4);
    ASSERT_EQ(b.size(), 4u) << "no answer at 1 us";
    last = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GT(last - first, idle / 2) << "the control loop stalled";
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("at 1 us: %.0f passes/s, %.0f overrun marks/s, 20 of 20 reads answered\n",
         (last - first) / secs, static_cast<double>(t.sim.out().size() - marks0) / secs);

  ASSERT_TRUE(t.host.write_u32(MAP_TICK_PERIOD, 16667));
  EXPECT_EQ(t.host.read_u32(MAP_TICK_PERIOD), 16667u);
  std::this_thread::sleep_for(200ms);  // the last short ticks drain
  uint32_t after = daemon_passes(t.host, 2s);
  EXPECT_GE(after, 1u);
  EXPECT_LE(after, 2 * idle + 10) << "passes in 2 s: " << idle << " before, " << after << " after";
  EXPECT_EQ(map_changes(before, whole_map(t.host)), std::vector<uint32_t>{});
  EXPECT_EQ(t.sim.out().find_first_not_of(' '), std::string::npos);
}

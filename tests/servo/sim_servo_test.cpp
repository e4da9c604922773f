// orvane-sim as a process: its servo thread against the virtual chain or against a line given
// with --serial, seen from the far side of the line or through the monitor like a host.
#include <gtest/gtest.h>

#include <string>

#include "core/map.h"
#include "sim/servo_chain.h"
#include "support/emulation.h"
#include "support/monitor_client.h"
#include "support/sim_line.h"
#include "support/sim_process.h"

TEST(ServoSim, SerialLineThatCannotBeOpenedEndsTheDaemonWithStatusOne)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim({"--serial", "/nonexistent-orvane/tty", "--no-console"});
  EXPECT_EQ(sim.wait_exit(20s), 1);
  EXPECT_TRUE(sim.wait_stdout("open(/nonexistent-orvane/tty) failed\n", 5s)) << sim.out();
}

// --serial with a pseudo-terminal that another program serves, here the test itself.
TEST(ServoSim, SerialOptionDrivesALineServedByAnotherProgram)
{
  ORVANE_SKIP_IF_EMULATED();
  servo_chain* chain = servo_chain::start({1, 2, 3, 4, 5, 6}, true);
  ASSERT_NE(chain, nullptr);
  chain->place(1, 77);
  {
    SimProcess sim({"--serial", chain->path(), "--no-console"});
    auto seen_query = [&] {
      for (const auto& p : chain->packets())
        if (p.size() == 8 && p[2] == 1 && p[3] == 0x0F)
          return true;
      return false;
    };
    EXPECT_TRUE(wait_until(seen_query, 20s)) << sim.err();
    auto p = chain->packets();
    ASSERT_GE(p.size(), 3u);
    EXPECT_EQ(p[0][4], 0x23);
    EXPECT_EQ(p[0][6], 6);
    EXPECT_EQ(p[1][4], 0x1E);
    EXPECT_EQ(p[1][6], 6);
  }
  chain->stop();
}

// Needs the monitor to reach the map from outside.
TEST(ServoSim, HostMoveIsFollowedByServoOnesPresentPosition)
{
  ORVANE_SKIP_IF_EMULATED();
  SimLine t;
  ASSERT_TRUE(t.host.write_u16(MAP_IP_TARGET + 2 * 33, 100));  // servo 1's torque
  ASSERT_TRUE(t.host.write_u16(MAP_IP_TARGET + 2 * 1, 450));
  ASSERT_TRUE(t.host.write_u8(MAP_TTIME, 30));
  bool moving = wait_until([&] { return static_cast<int16_t>(t.host.read_u16(map_sv_pos(1))) > 0; }, 10s, 20ms);
  EXPECT_TRUE(moving);
  bool there = wait_until([&] { return static_cast<int16_t>(t.host.read_u16(map_sv_pos(1))) == 450; }, 20s, 20ms);
  EXPECT_TRUE(there) << "servo 1 at " << static_cast<int16_t>(t.host.read_u16(map_sv_pos(1)));
}

// A runner serves its line for hours, three packets and more per tick: it keeps the latest
// packets only (it kept every one, 10 KiB more memory a second), yet counts them all.
TEST(ServoSim, ChainKeepsTheLatestPacketsOnlyButCountsEveryOne)
{
  auto chain = servo_chain::unwired({1});
  const std::vector<uint8_t> query = {0xFA, 0xAF, 0x01, 0x0F, 0x2A, 0x02, 0x00, 0x26};
  const std::vector<uint8_t> empty = {0xFA, 0xAF, 0x00, 0x00, 0x23, 0x03, 0x00, 0x20};
  const size_t n = 3 * servo_chain::KEEP;
  for (size_t i = 0; i < n; i++)
    ASSERT_EQ(chain->feed(query.data(), query.size()).size(), 8u + 10u);  // echo and reply
  chain->feed(empty.data(), empty.size());
  auto kept = chain->packets();
  EXPECT_EQ(kept.size(), servo_chain::KEEP);
  EXPECT_EQ(kept.front(), query);
  EXPECT_EQ(kept.back(), empty);
  EXPECT_EQ(chain->packet_count(), n + 1);
  chain->clear_packets();
  EXPECT_EQ(chain->packet_count(), 0u);
  EXPECT_EQ(chain->packets().size(), 0u);
}

// The console's hand on a servo horn: a limp servo stays where it is pushed, one with torque on
// heads back to its goal; either way the daemon reads the servo where it really is.
TEST(ServoSim, PushedServoStaysWhenLimpAndReturnsToItsGoalWithTorqueOn)
{
  ORVANE_SKIP_IF_EMULATED();
  struct Case {
    uint16_t torque;  // servo 1's torque channel
    int16_t settles;  // where the daemon finally reads servo 1, 0.1 degree
  };
  for (Case c : {Case{0, -455}, Case{100, 120}}) {
    SimProcess sim;
    int port = sim.port();
    ASSERT_GT(port, 0) << sim.err();
    MonitorClient host;
    ASSERT_TRUE(host.connect(port));
    ASSERT_TRUE(host.write_u16(MAP_IP_TARGET + 2 * 33, c.torque));
    ASSERT_TRUE(host.write_u16(MAP_IP_TARGET + 2 * 1, 120));
    ASSERT_TRUE(host.write_u8(MAP_TTIME, 1));
    auto pos = [&] { return static_cast<int16_t>(host.read_u16(map_sv_pos(1))); };
    ASSERT_TRUE(wait_until([&] { return pos() == (c.torque ? 120 : 0); }, 10s, 20ms));
    sim.send_stdin("push 1 -45.5\n");
    ASSERT_TRUE(sim.wait_stderr("servo 1 pushed to -45.5 degrees", 10s)) << sim.err();
    EXPECT_TRUE(wait_until([&] { return pos() == c.settles; }, 10s, 20ms))
        << "torque " << c.torque << ": servo 1 at " << pos();
    if (c.torque == 0) {
      std::this_thread::sleep_for(200ms);
      EXPECT_EQ(pos(), c.settles);
    }
  }
}

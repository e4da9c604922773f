// orvane-sim as a process: its servo thread against the virtual chain or against a line given
// with --serial, seen from the far side of the line or through the monitor like a host.
#include <gtest/gtest.h>

#include <string>

#include "core/map.h"
#include "sim/servo_chain.h"
#include "support/emulation.h"
#include "support/monitor_client.h"
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
  SimProcess sim({"--no-console"});
  int port = sim.port();
  ASSERT_GT(port, 0) << sim.err();
  MonitorClient host;
  ASSERT_TRUE(host.connect(port));
  ASSERT_TRUE(host.write_u16(MAP_IP_TARGET + 2 * 33, 100));  // servo 1's torque
  ASSERT_TRUE(host.write_u16(MAP_IP_TARGET + 2 * 1, 450));
  ASSERT_TRUE(host.write_u8(MAP_TTIME, 30));
  bool moving = wait_until([&] { return static_cast<int16_t>(host.read_u16(map_sv_pos(1))) > 0; }, 10s, 20ms);
  EXPECT_TRUE(moving);
  bool there = wait_until([&] { return static_cast<int16_t>(host.read_u16(map_sv_pos(1))) == 450; }, 20s, 20ms);
  EXPECT_TRUE(there) << "servo 1 at " << static_cast<int16_t>(host.read_u16(map_sv_pos(1)));
}

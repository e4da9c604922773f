// The daemon as a host sees it: orvane-sim as a process, its monitor on loopback.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "core/map.h"
#include "support/emulation.h"
#include "support/monitor_client.h"
#include "support/sim_process.h"

namespace {

struct Daemon : ::testing::Test {
  std::unique_ptr<SimProcess> sim;
  MonitorClient host;

  void SetUp() override { ORVANE_SKIP_IF_EMULATED(); }

  void start(std::vector<std::string> args = {})
  {
    args.push_back("--no-console");
    sim = std::make_unique<SimProcess>(args);
    int port = sim->port();
    ASSERT_GT(port, 0) << sim->err();
    ASSERT_TRUE(host.connect(port)) << sim->err();
  }

  uint32_t loops() { return host.read_u32(MAP_LOOP_COUNT); }

  // Passes per second over about `window` of wall time.
  double rate(std::chrono::milliseconds window = 2000ms)
  {
    uint32_t a = loops();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    uint32_t b = loops();
    std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    return (b - a) / dt.count();
  }

  // True when loop_count advances by `n` within the deadline.
  bool advances(uint32_t n, std::chrono::milliseconds deadline = 10s)
  {
    uint32_t a = loops();
    return wait_until([&] { return loops() - a >= n; }, deadline, 50ms);
  }
};

}  // namespace

TEST_F(Daemon, LoopCountFollowsTheTickAtSixtyPerSecond)
{
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_TRUE(advances(60));
  // Ticks come no faster than the period allows: one pass per tick at most.
  EXPECT_LT(rate(), 66.0);
}

TEST_F(Daemon, DoubledTickPeriodHalvesTheRateAndTheDefaultRestoresIt)
{
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(advances(10));
  host.write_u32(MAP_TICK_PERIOD, 33334);
  std::this_thread::sleep_for(200ms);
  double slow = rate();
  EXPECT_LT(slow, 33.0);
  EXPECT_GT(slow, 5.0);
  host.write_u32(MAP_TICK_PERIOD, 16667);
  std::this_thread::sleep_for(200ms);
  EXPECT_GT(rate(), slow * 1.4);
}

TEST_F(Daemon, OutOfRangeTickPeriodKeepsTheLastValidOne)
{
  ASSERT_NO_FATAL_FAILURE(start());
  for (uint32_t bad : {0u, 0xFFFFFFFFu, 1000000u, 0x7FFFFFFFu}) {
    host.write_u32(MAP_TICK_PERIOD, bad);
    EXPECT_TRUE(advances(20)) << "period " << static_cast<int32_t>(bad);
    EXPECT_EQ(host.read_u32(MAP_TICK_PERIOD), bad);  // the map keeps what the host wrote
  }
  host.write_u32(MAP_TICK_PERIOD, 16667);
  EXPECT_TRUE(advances(30));
}

// The listener may greet a host before the servo thread has opened its line: even then no
// servo outside the read groups (all but servo 1 out of the box) shows a position. The window is
// short, so the daemon is started a few times and read at once.
TEST_F(Daemon, AHostThatComesFirstReadsNoPositionsFromTheInitialZeroes)
{
  for (int run = 0; run < 16; run++) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<uint8_t> pos = host.read_map(map_sv_pos(2), 2 * (MAP_SV_IDS - 1));
    ASSERT_EQ(pos.size(), 2u * (MAP_SV_IDS - 1));
    for (size_t i = 0; i < pos.size(); i += 2)
      EXPECT_EQ(pos[i] | pos[i + 1] << 8, 0x8000) << "servo " << i / 2 + 2 << ", run " << run;
  }
}

TEST_F(Daemon, ExitRequestEndsWithStatusZero)
{
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(advances(1));
  host.write_u8(MAP_EXIT_REQ, 1);
  EXPECT_EQ(sim->wait_exit(10s), 0);
}

// The daemon ends once the connection that asked has delivered its answers: while that host keeps
// the connection open the passes go on, and it ends as soon as the host has read and closed. A
// host that never reads nor closes keeps it at most the connection's bound.
TEST_F(Daemon, EndWaitsForTheAskingConnectionsAnswersButNotForAHostThatNeverReads)
{
  ASSERT_NO_FATAL_FAILURE(start());
  MonitorClient other;
  ASSERT_TRUE(other.connect(sim->port()));
  host.send("r 40 4\nW 50 1\nr 20 1\n");
  ASSERT_TRUE(wait_until([&] { return other.read_u8(MAP_EXIT_REQ) == 1; }, 10s));
  uint32_t loops0 = other.read_u32(MAP_LOOP_COUNT);
  EXPECT_TRUE(wait_until([&] { return other.read_u32(MAP_LOOP_COUNT) - loops0 >= 3; }, 10s, 20ms))
      << "the passes stopped while the asking host still held its connection";
  EXPECT_EQ(host.line(), "#0040 1b 41 00 00  .A..");
  EXPECT_TRUE(host.closed_by_peer(10s));
  EXPECT_EQ(host.line(0ms), std::nullopt);  // the line after the request was not carried out
  EXPECT_EQ(sim->wait_exit(0ms), std::nullopt);
  host.close();
  EXPECT_EQ(sim->wait_exit(20s), 0);

  ASSERT_NO_FATAL_FAILURE(start());
  host.send("r 0 1000\nW 50 1\n");  // and never a read
  EXPECT_EQ(sim->wait_exit(20s), 0);
}

TEST_F(Daemon, ExitWinsOverPowerOff)
{
  ASSERT_NO_FATAL_FAILURE(start({"--poweroff-cmd", "echo standin-ran"}));
  host.write_map(MAP_EXIT_REQ, {1, 1});
  EXPECT_EQ(sim->wait_exit(10s), 0);
  EXPECT_EQ(sim->out().find("KT4_SDREQ"), std::string::npos);
  EXPECT_EQ(sim->out().find("standin-ran"), std::string::npos);
}

TEST_F(Daemon, PowerOffAnnouncesFirstThenRunsTheCommand)
{
  ASSERT_NO_FATAL_FAILURE(start({"--poweroff-cmd", "echo standin-ran"}));
  host.write_u8(MAP_POWEROFF_REQ, 1);
  EXPECT_EQ(sim->wait_exit(10s), 0);
  std::string out = sim->out();
  size_t a = out.find("KT4_SDREQ\n"), b = out.find("standin-ran\n");
  ASSERT_NE(a, std::string::npos) << out;
  ASSERT_NE(b, std::string::npos) << out;
  EXPECT_LT(a, b);
}

TEST_F(Daemon, PowerOffStandInOnlyReportsAndItsStatusBecomesTheDaemons)
{
  ASSERT_NO_FATAL_FAILURE(start());
  host.write_u8(MAP_POWEROFF_REQ, 1);
  EXPECT_EQ(sim->wait_exit(10s), 0);
  EXPECT_NE(sim->err().find("would power off"), std::string::npos) << sim->err();

  // The status is the low byte of the command's wait status: a shell ended by SIGUSR1 gives 10.
  ASSERT_NO_FATAL_FAILURE(start({"--poweroff-cmd", "kill -USR1 $$"}));
  host.write_u8(MAP_POWEROFF_REQ, 1);
  EXPECT_EQ(sim->wait_exit(10s), 10);
}

TEST_F(Daemon, PowerOffCommandThatFailsGivesAFailingStatus)
{
  // A shell killed by a signal shows that the command starts with that signal at its ordinary
  // disposition, neither ignored nor blocked: not SIGPIPE, not the runner's SIGTERM and SIGHUP,
  // not the tick's real-time signal, all of which the control loop's thread blocks or ignores.
  const std::pair<std::string, int> rows[] = {
      {"exit 0", 0},           {"exit 3", 3},          {"kill -PIPE $$", 13},
      {"kill -TERM $$", 15},   {"kill -HUP $$", 1},
      {"kill -" + std::to_string(SIGRTMIN + 1) + " $$", SIGRTMIN + 1}};
  for (auto [cmd, status] : rows) {
    // Under qemu's user-mode emulation the guest's real-time signals are not the host shell's.
    if (getenv("ORVANE_EMULATED") && status == SIGRTMIN + 1)
      continue;
    ASSERT_NO_FATAL_FAILURE(start({"--poweroff-cmd", cmd}));
    host.write_u8(MAP_POWEROFF_REQ, 1);
    EXPECT_EQ(sim->wait_exit(10s), status) << cmd;
    EXPECT_NE(sim->out().find("KT4_SDREQ\n"), std::string::npos) << cmd;
  }
}

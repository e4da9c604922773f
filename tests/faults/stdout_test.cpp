// A standard output that nobody reads, or whose reader has gone, while every servo cycle overruns:
// the daemon's standard output is a one-page pipe that the test fills and drains itself, and
// servo 1, the one the initial map polls, is missing from the chain, so it never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/map.h"
#include "support/daemon_watch.h"
#include "support/emulation.h"
#include "support/sim_process.h"
#include "support/small_pipe.h"

namespace {

// Passes in 2 s that count as keeping the rate: a third of the 120 that 60 ticks a second give,
// where a tick stuck on the output gives none.
const uint32_t KEEPS_RATE = 40;

struct StalledStdout : ::testing::Test {
  SmallPipe out;
  size_t filled = 0;
  std::unique_ptr<SimProcess> sim;
  MonitorClient host;

  void SetUp() override { ORVANE_SKIP_IF_EMULATED(); }

  void start(std::vector<std::string> args = {})
  {
    filled = out.fill();
    ASSERT_GT(filled, 0u);
    for (const char* a : {"--servos", "2-6", "--no-console"})
      args.emplace_back(a);
    sim = std::make_unique<SimProcess>(args, ORVANE_SIM_PATH, out.writer());
    int port = sim->port();
    ASSERT_GT(port, 0) << sim->err();
    ASSERT_TRUE(host.connect(port));
  }
  void ends_on_exit_request()
  {
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.write_u8(MAP_EXIT_REQ, 1));
    EXPECT_EQ(sim->wait_exit(10s), 0);
    printf("exit request to exit: %.0f ms\n",
           std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
};

}  // namespace

TEST_F(StalledStdout, FullAndUnreadStopsNothingAndTheMarksFollowOnceDrained)
{
  ASSERT_NO_FATAL_FAILURE(start());
  uint32_t passes = daemon_passes(host, 2s);
  EXPECT_GE(passes, KEEPS_RATE);

  std::string got = out.read(filled + 10, 20s);
  ASSERT_GE(got.size(), filled + 10) << "the marks did not follow";
  EXPECT_EQ(got.find_first_not_of('x'), filled);
  EXPECT_EQ(got.find_first_not_of(' ', filled), std::string::npos);
  printf("stdout full for 2 s: %u passes; %zu marks came once it was drained\n", passes,
         got.size() - filled);

  out.fill();
  std::this_thread::sleep_for(300ms);  // the next marks find the pipe full again
  ends_on_exit_request();
}

TEST_F(StalledStdout, ReaderGoneEndsNothing)
{
  ASSERT_NO_FATAL_FAILURE(start());
  out.close_reader();
  uint32_t passes = daemon_passes(host, 2s);
  EXPECT_GE(passes, KEEPS_RATE);
  EXPECT_TRUE(daemon_ticking(host));
  ends_on_exit_request();
}

TEST_F(StalledStdout, PowerOffGoesAheadAfterABoundedWait)
{
  ASSERT_NO_FATAL_FAILURE(start({"--poweroff-cmd", "exit 3"}));
  ASSERT_TRUE(host.write_u8(MAP_POWEROFF_REQ, 1));
  EXPECT_EQ(sim->wait_exit(10s), 3);
}

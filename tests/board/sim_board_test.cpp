#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "support/emulation.h"
#include "support/monitor_client.h"
#include "support/sim_process.h"

namespace {

// Asks the console for `cmd` until its answer contains `text`.
bool console_shows(SimProcess& p, const std::string& cmd, const std::string& text)
{
  return wait_until([&] {
    p.send_stdin(cmd + "\n");
    return p.wait_stderr(text, 100ms);
  }, 20s);
}

// A runner that is ended the way Ctrl-C ends it, so that it removes its folder, whatever the
// test's outcome.
struct Runner : SimProcess {
  using SimProcess::SimProcess;
  ~Runner()
  {
    send_signal(SIGTERM);
    wait_exit(10s);
  }
};

}  // namespace

TEST(BoardRunner, ConsoleClosesASwitchAndTheDaemonSamplesIt)
{
  ORVANE_SKIP_IF_EMULATED();
  Runner p;
  p.send_stdin("close 2\n");
  EXPECT_TRUE(console_shows(p, "switches", "switch 2  GPIO 24  closed  sw_in 1\n"));
  p.send_stdin("open 2\n");
  EXPECT_TRUE(console_shows(p, "switches", "switch 2  GPIO 24  open    sw_in 0\n"));
  EXPECT_TRUE(p.wait_stderr("switch 0  GPIO 22  open    sw_in 0\n", 1s));
  EXPECT_EQ(p.out().find("switch"), std::string::npos);  // standard output stays the daemon's
}

TEST(BoardRunner, ConsoleShowsWhatTheVirtualLedBoardsWereSent)
{
  ORVANE_SKIP_IF_EMULATED();
  Runner p;
  EXPECT_TRUE(console_shows(p, "leds", "board A (0x04): 00 00 00 00 00 00 00 00\n"
                                       "board B (0x05): 00 00 00 00 00 00 00 00\n"));
  EXPECT_TRUE(p.wait_stderr("with wrong fixed bytes 0\n", 1s));
}

TEST(BoardRunner, ConsoleEndsQuietlyAtEndOfInputAndTheDaemonRunsOn)
{
  ORVANE_SKIP_IF_EMULATED();
  Runner p;
  p.send_stdin("help\nfrob");  // the last line has no line end
  p.close_stdin();
  EXPECT_TRUE(p.wait_stderr("unknown command 'frob'; try help\n", 10s));
  EXPECT_FALSE(p.wait_exit(500ms).has_value());
  EXPECT_NE(p.err().find("close N, open N"), std::string::npos);
  EXPECT_EQ(p.err().find("orvane-sim>"), std::string::npos);  // no prompt off a terminal
}

TEST(BoardRunner, MissingI2cBusEndsWithStatus1AndItsMessage)
{
  ORVANE_SKIP_IF_EMULATED();
  Runner p({"--i2c", "/nonexistent-orvane/i2c-9"});
  EXPECT_EQ(p.wait_exit(20s), 1);
  p.wait_stdout("\n", 10s);  // the output may still be on its way once the exit is seen
  EXPECT_EQ(p.out(), "open(/nonexistent-orvane/i2c-9) failed\n");
}

// Never run where the memory device exists: the robot binary must not map a PC's memory.
TEST(BoardRunner, RobotBinaryWithoutMemoryDeviceEndsWith255BeforeAnythingElse)
{
  ORVANE_SKIP_IF_EMULATED();
  if (access("/dev/mem", F_OK) == 0)
    GTEST_SKIP() << "/dev/mem exists here";
  SimProcess p({}, ORVANE_ROBOT_PATH);
  EXPECT_EQ(p.wait_exit(20s), 255);
  p.wait_stdout("\n", 10s);
  EXPECT_EQ(p.out(), "error: cannot open /dev/mem\n");
}

// Through a host on the monitor port, as a user of the runner sees it; these need the monitor.
TEST(BoardEndToEnd, HostSeesAClosedSwitchInItsSwInWord)
{
  ORVANE_SKIP_IF_EMULATED();
  Runner p;
  MonitorClient host;
  ASSERT_TRUE(host.connect(p.port()));
  p.send_stdin("close 3\n");
  EXPECT_TRUE(wait_until([&] { return host.read_u16(0x0066) == 1; }, 20s));
  p.send_stdin("open 3\n");
  EXPECT_TRUE(wait_until([&] { return host.read_u16(0x0066) == 0; }, 20s));
  host.write_u8(0x0050, 1);
  EXPECT_EQ(p.wait_exit(20s), 0);
}

TEST(BoardEndToEnd, HostLedRampOnChannels64To79ReachesTheBoards)
{
  ORVANE_SKIP_IF_EMULATED();
  Runner p;
  MonitorClient host;
  ASSERT_TRUE(host.connect(p.port()));
  host.write_u16(0x0A00 + 2 * 64, 0x0123);
  host.write_u16(0x0A00 + 2 * 79, 0x00ff);
  host.write_u8(0x0B80, 20);
  EXPECT_TRUE(console_shows(p, "leds", "board A (0x04): 23 00 00 00 00 00 00 00\n"
                                       "board B (0x05): 00 00 00 00 00 00 00 ff\n"));
  host.write_u8(0x0050, 1);
  EXPECT_EQ(p.wait_exit(20s), 0);
}

// The runner's console as its user meets it: on a terminal (a pseudo-terminal here) and from a
// pipe, with orvane-sim as a process.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/emulation.h"
#include "support/sim_process.h"

namespace {

// Asks the console for `cmd` until what it shows next satisfies `ok` (a slow answer is asked
// again).
bool console_shows(SimProcess& p, const std::string& cmd,
                   const std::function<bool(const std::string&)>& ok)
{
  for (int tries = 0; tries < 10; tries++) {
    size_t from = p.err().size();
    p.send_stdin(cmd + "\n");
    if (wait_until([&] { return ok(p.err().substr(from)); }, 2s))
      return true;
  }
  return false;
}

}  // namespace

// Overrun marks (a silent servo makes one on most ticks) would land after the prompt; on a
// terminal the daemon's standard output comes to the console, which counts them instead.
TEST(SimConsole, OnATerminalThePromptFollowsTheListeningLineAndNoMarkMeetsIt)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim({}, ORVANE_SIM_PATH, -1, true);
  ASSERT_TRUE(sim.wait_stderr("orvane-sim> ", 20s)) << sim.err();
  std::string start = sim.err();
  EXPECT_NE(start.find("listening on port"), std::string::npos) << start;
  EXPECT_LT(start.find("listening on port"), start.find("orvane-sim> ")) << start;

  sim.send_stdin("silence 1\n");
  auto marks_counted = [](const std::string& shown) {
    return shown.find("overrun marks ") != std::string::npos &&
           shown.find("overrun marks 0 ") == std::string::npos;
  };
  EXPECT_TRUE(console_shows(sim, "status", marks_counted)) << sim.err();
  EXPECT_EQ(sim.err().find("orvane-sim>  "), std::string::npos) << sim.err();
  sim.send_stdin("quit\n");
  EXPECT_EQ(sim.wait_exit(20s), 0) << sim.err();
}

TEST(SimConsole, CommandsAnswerAsTheHelpSays)
{
  ORVANE_SKIP_IF_EMULATED();
  struct Case {
    const char* cmd;
    const char* answer;
    bool whole;  // the whole answer, or a part of it
  };
  const Case cases[] = {
      {"servos 2",
       " id      goal  torque        pos\n"
       "  2      0.0\u00b0    0 off      0.0\u00b0\n",
       true},
      {"servos 9", "no virtual servo 9\n", true},
      {"fault 2 late 3", "servo 2: late for 3 replies\n", true},
      {"fault 3 bad-csum", "servo 3: bad-csum until answer 3\n", true},
      {"answer 3", "servo 3 answers again\n", true},
      {"fault 2 wobble", "fault ID KIND [N]: KIND is silent, bad-csum, other-id, short or late\n", true},
      {"fault 2 short 0", "fault ID KIND [N]: N is a count of replies, 1-1000000\n", true},
      {"fault 9 short", "no virtual servo 9\n", true},
      {"noise 16", "16 bytes of noise on the servo line\n", true},
      {"noise 300", "noise N: give a byte count, 1-256\n", true},
      {"help", "  quit              ends orvane-sim (status 0), as Ctrl-C does", false},
      {"status", "read groups (servo ids):\n  group 0: 1\n", false},
      {"status", "overrun marks: spaces on standard output\n", false},  // off a terminal
  };
  SimProcess sim;
  ASSERT_GT(sim.port(), 0) << sim.err();
  for (const Case& c : cases)
    EXPECT_TRUE(console_shows(sim, c.cmd, [&](const std::string& shown) {
      return c.whole ? shown == c.answer : shown.find(c.answer) != std::string::npos;
    })) << c.cmd << ":\n" << sim.err();
  sim.send_stdin("quit\n");
  EXPECT_EQ(sim.wait_exit(20s), 0) << sim.err();
}

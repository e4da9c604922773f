// orvane-ctl as a user runs it: a process against orvane-sim, judged by its exit status, its
// output and the map afterwards.
#include <cstdlib>
#include <functional>

#include "support/fake_robot.h"
#include "support/sim_host.h"

namespace {

struct ctl_result {
  int status;
  std::string out, err;
};

// Runs orvane-ctl with the robot given by -r (or by ORVANE_ROBOT when `robot` starts with "env:").
ctl_result run_ctl(const std::string& robot, std::vector<std::string> args)
{
  bool by_env = robot.rfind("env:", 0) == 0;
  if (by_env)
    setenv("ORVANE_ROBOT", robot.c_str() + 4, 1);
  else
    args.insert(args.begin(), {"-r", robot});
  SimProcess p(args, ORVANE_CTL_PATH);
  if (by_env)
    unsetenv("ORVANE_ROBOT");
  auto status = p.wait_exit(60s);
  p.wait_output_closed(10s);
  return {status.value_or(-999), p.out(), p.err()};
}

using ctl_args = std::vector<std::string>;

}  // namespace

using CtlSim = SimHostTest;

TEST_F(CtlSim, VerbsPrintAndChangeWhatTheMapHolds)
{
  auto& r = robot();
  struct row {
    ctl_args args;
    const char* out;                  // the whole standard output, or nullptr
    std::function<void()> then;       // checks of the map afterwards
  };
  const row rows[] = {
      {{"get", "tick_period", "robot_name", "sv_pos.7", "rd_group.0"},
       "16667\nZIDIDOVE\nnone\n1 1 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n", nullptr},
      {{"set", "led_on", "0"}, "", [&] { EXPECT_EQ(r.get("led_on"), 0); }},
      {{"set", "tick_period", "0x4e20"}, "", [&] { EXPECT_EQ(r.get("tick_period"), 20000); }},
      {{"set", "robot_name", "ARM"}, "", [&] { EXPECT_EQ(r.get_text("robot_name"), "ARM"); }},
      {{"set", "rd_group.1", "1", "2", "7"}, "",
       [&] { EXPECT_EQ(r.read(0xD0, 4), (std::vector<uint8_t>{1, 2, 7, 0})); }},
      {{"set", "--deg", "servo.2.goal", "-12.5"}, "", [&] { EXPECT_EQ(r.get("servo.2.goal"), -125); }},
      {{"get", "--deg", "servo.2.goal"}, "-12.5\n", nullptr},
      {{"torque", "on", "1", "3"}, "",
       [&] {
         EXPECT_EQ(r.get("servo.1.torque"), orvane::torque_on_value);
         EXPECT_EQ(r.get("servo.2.torque"), 0);
       }},
      {{"move", "--ticks", "20", "1=30", "3=-20.5"}, "",
       [&] {
         EXPECT_EQ(r.get("servo.1.goal"), 300);
         EXPECT_EQ(r.get("servo.3.goal"), -205);
         EXPECT_EQ(r.get("servo.2.goal"), -125);
       }},
      {{"move", "--anyway", "--ticks", "1", "7=2.5"}, "", [&] { EXPECT_EQ(r.get("servo.7.goal"), 25); }},
      {{"torque", "on", "7", "--anyway"}, "", [&] { EXPECT_EQ(r.get("servo.7.torque"), 100); }},
      {{"set", "--anyway", "servo.8.goal", "-3"}, "", [&] { EXPECT_EQ(r.get("servo.8.goal"), -3); }},
      // Longer than one trigger at 200 Hz, and waited for until servo 1 is there.
      {{"set", "tick_period", "5000"}, "", nullptr},
      {{"move", "--ms", "1500", "--settle", "0.5", "1=20"}, "",
       [&] {
         EXPECT_EQ(r.get("servo.1.goal"), 200);
         EXPECT_NEAR(*r.position(1), 20.0, 0.5);
       }},
      {{"set", "tick_period", "20000"}, "", nullptr},
      {{"leds", "b.1=7", "3=200"}, "", nullptr},
      {{"leds"}, "a 0 0 0 200 0 0 0 0\nb 0 7 0 0 0 0 0 0\n", nullptr},
      {{"switches"}, "0\n0\n0\n0\n0\n", nullptr},
      {{"dump", "0x40", "16"}, "0040  20 4e 00 00 00 00 00 00 01 00 01 00 00 00 00 00  "
                               "tick_period sv_torque_on sv_comm_on led_on\n", nullptr},
      {{"dump", "0xd84", "4"}, "0d80              00 80 00 80                          sv_pos.3..4\n",
       nullptr},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    auto res = run_ctl(host().address, row.args);
    EXPECT_EQ(res.status, 0) << res.err;
    if (row.out) {
      EXPECT_EQ(res.out, row.out);
    }
    if (row.then)
      row.then();
  }
  // Pipes get one line per sample, after a heading.
  auto w = run_ctl(host().address, {"watch", "--count", "3", "--interval", "0.01", "loop_count"});
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(std::count(w.out.begin(), w.out.end(), '\n'), 4) << w.out;
  EXPECT_EQ(w.out.rfind("# seconds\tloop_count\n", 0), 0u) << w.out;
  auto f = run_ctl(host().address, {"fields"});
  EXPECT_NE(f.out.find("sv_pos\t0x0D80\tint16\t1..32\t0.1deg\tdaemon\t"), std::string::npos);
}

TEST_F(CtlSim, MistakesGiveOneLineAndTheirStatusAndLeaveTheMapAlone)
{
  auto before = host().host_view();
  struct row {
    ctl_args args;
    int status;
    const char* err;  // part of standard error
  };
  const row rows[] = {
      {{"get", "sv_pso"}, 1, "orvane-ctl: unknown field 'sv_pso' (did you mean 'sv_pos'?)\n"},
      {{"set", "sv_pos.33", "1"}, 1, "index 33 of 'sv_pos' out of range 1..32"},
      {{"get", "ttime.1"}, 1, "'ttime' takes no index"},
      {{"move", "1=10", "2=150.5"}, 1, "goal 150.5 degrees for servo 2 out of range -150.0..150.0"},
      {{"move", "1=10", "7=10"}, 1,
       "orvane-ctl: servo 7 is not in the write list (wr_ids 1 2 3 4 5 6): nothing would reach it; "
       "--anyway sends it all the same\n"},
      {{"torque", "off", "9"}, 1, "servo 9 is not in the write list (wr_ids 1 2 3 4 5 6)"},
      {{"set", "servo.7.torque", "100"}, 1, "servo 7 is not in the write list"},
      {{"gte", "sv_pos.1"}, 2, "orvane-ctl: unknown verb 'gte' (did you mean 'get'?)\n"},
      {{"-t", "0.05", "get", "ttime"}, 2, "orvane-ctl: --timeout: 0.05 is out of range 0.1..3600\n"},
      {{"move"}, 2, "orvane-ctl: move needs goals"},
      {{"get"}, 2, "orvane-ctl: get needs names: field names"},
      {{"move", "--ms", "0", "1=3"}, 2, "--ms: 0 is out of range 1..3600000"},
      {{"move", "--bogus", "1=3"}, 2, "unknown option '--bogus'"},
      {{"set", "servo.1.goal", "150.5"}, 2, "'servo.1.goal' counts 0.1 degrees: give --deg for degrees"},
      {{"get", "--deg", "tick_period"}, 2, "--deg applies to fields in 0.1 degrees, not to 'tick_period'"},
      {{"record", "--seconds", "1", "/nonexistent-orvane/x.csv"}, 1,
       "orvane-ctl: cannot write /nonexistent-orvane/x.csv: No such file or directory\n"},
      {{"set", "loop_count", "5"}, 1, "written by the daemon"},
      {{"set", "wr_count", "31"}, 1, "out of range 0..30"},
      {{"leds", "a.8=1"}, 1, "LED a.8 out of range 0..7"},
      {{"move", "1=abc"}, 2, "usage: orvane-ctl [-r HOST[:PORT]] move "},
      {{"move"}, 2, "usage: orvane-ctl [-r HOST[:PORT]] move "},
      {{"move", "--ticks", "3", "--ms", "50", "1=3"}, 2, "usage: orvane-ctl"},
      {{"set", "tick_period", "fast"}, 2, "not a whole number"},
      {{"torque", "maybe"}, 2, "usage: orvane-ctl [-r HOST[:PORT]] torque on|off [ID...]"},
      {{"frobnicate"}, 2, "usage: orvane-ctl"},
      {{"exit"}, 2, "give --yes to confirm"},
      {{"poweroff"}, 2, "give --yes to confirm"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    auto res = run_ctl(host().address, row.args);
    EXPECT_EQ(res.status, row.status) << res.err;
    EXPECT_NE(res.err.find(row.err), std::string::npos) << res.err;
    EXPECT_EQ(res.out, "");
    for (const char* theirs : {" is required", "Value ", " not in range ", "The following argument",
                               "Could not convert", " excludes "})
      EXPECT_EQ(res.err.find(theirs), std::string::npos) << "CLI11's wording: " << res.err;
  }
  EXPECT_EQ(host().host_view(), before);
}

TEST(Ctl, RobotsThatCannotBeReachedOrCloseMidCommandFailWithOneLine)
{
  ORVANE_SKIP_IF_EMULATED();
  struct row {
    const char* what;
    std::function<void(int)> serve;
    const char* err;
  };
  const row rows[] = {
      {"nobody listens", nullptr, ": connection refused\n"},
      {"closes mid-command",
       [](int fd) {
         FakeRobot::banner(fd);
         FakeRobot::read_line(fd);
       },
       "orvane-ctl: connection closed by the robot at 127.0.0.1:"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeRobot fake(r.serve);
    auto res = run_ctl("env:" + fake.address(), {"get", "ttime"});
    EXPECT_EQ(res.status, 1);
    EXPECT_NE(res.err.find(r.err), std::string::npos) << res.err;
    EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), 1) << res.err;
  }
}

TEST_F(CtlSim, ExitWithYesEndsTheDaemon)
{
  auto res = run_ctl(host().address, {"exit", "--yes"});
  EXPECT_EQ(res.status, 0) << res.err;
  EXPECT_EQ(res.out, "the daemon at " + host().address + " has ended\n");
  EXPECT_EQ(host().sim.wait_exit(SIM_HOST_TIMEOUT), 0);
}

// --settle names the servo that did not get there, and the ones it could not wait for.
TEST_F(CtlSim, SettleNamesServosThatDidNotArriveOrHaveNoReading)
{
  auto res = run_ctl(host().address, {"-t", "0.5", "move", "--ticks", "2", "--settle", "1=10"});
  EXPECT_EQ(res.status, 1) << res.err;  // servo 1's torque is off: it stays at 0
  EXPECT_NE(res.err.find("orvane-ctl: servo 1 on " + host().address +
                         " did not reach its goal within 0.5 s (tolerance 1.0 degrees): at 0.0 of 10.0\n"),
            std::string::npos) << res.err;
  robot().torque(true, {2});
  res = run_ctl(host().address, {"move", "--ticks", "2", "--settle", "2=10"});
  EXPECT_EQ(res.status, 0) << res.err;
  EXPECT_NE(res.err.find("servo 2 has no reading: not waited for"), std::string::npos) << res.err;
}

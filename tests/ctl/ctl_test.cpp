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
      {{"move", "--ms", "5000", "1=10"}, 1, "300 ticks; a move takes at most 255"},
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
       "orvane-ctl: connection closed by the robot\n"},
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
  EXPECT_EQ(host().sim.wait_exit(SIM_HOST_TIMEOUT), 0);
}

// orvane-ctl as a user runs it: a process against orvane-sim, judged by its exit status, its
// output and the map afterwards.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

#include "support/fake_robot.h"
#include "support/sim_host.h"
#include "support/temp_dir.h"

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
      {{"move", "1=abc"}, 2, "usage: orvane-ctl [-r HOST[:PORT]] [-p PROFILE] move "},
      {{"move"}, 2, "usage: orvane-ctl [-r HOST[:PORT]] [-p PROFILE] move "},
      {{"set", "ip_target.3", "2000"}, 1, "servo 3 at 200 degrees is beyond the servo's range -150..150"},
      {{"move", "--ticks", "3", "--ms", "50", "1=3"}, 2, "usage: orvane-ctl"},
      {{"set", "tick_period", "fast"}, 2, "not a whole number"},
      {{"torque", "maybe"}, 2, "usage: orvane-ctl [-r HOST[:PORT]] [-p PROFILE] torque on|off [ID|JOINT...]"},
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

namespace {

nlohmann::json ctl_json(const std::string& robot, const ctl_args& args)
{
  ctl_args a{"-o", "json"};
  a.insert(a.end(), args.begin(), args.end());
  auto res = run_ctl(robot, a);
  EXPECT_EQ(res.status, 0) << res.err;
  return nlohmann::json::parse(res.out, nullptr, false);
}

std::vector<uint8_t> groups(orvane::client& r) { return r.read(0xC0, 64); }

}  // namespace

TEST(CtlRobot, InfoScanAndReadSayWhatTheRobotIsAndWhichServosAnswerAndAreRead)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost h({"--servos", "1,2,5"});
  auto& r = h.robot;
  auto info = ctl_json(h.address, {"info"});
  EXPECT_EQ(info["name"], "ZIDIDOVE");
  EXPECT_EQ(info["tick_period"], 16667);
  EXPECT_EQ(info["daemon"].get<std::string>().rfind("orvane-", 0), 0u) << info;
  EXPECT_EQ(info["write_list"], nlohmann::json({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(info["read_groups"], nlohmann::json::parse("[[1],[],[],[]]"));
  EXPECT_GT(info["loop_rate"].get<double>(), 0);
  EXPECT_EQ(info["torque_on"], true);
  EXPECT_EQ(info["servos"][1]["reading"], "no_group");

  // scan asks through the read groups, finds what answers, and leaves groups, goals and torque.
  r.set_groups({{{1, 3}, {}, {2}, {}}});
  r.torque(true, {2});
  auto before = h.host_view();
  auto scan = ctl_json(h.address, {"scan", "1-8"});
  EXPECT_EQ(scan["asked"], nlohmann::json({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(scan["silent"], nlohmann::json({3, 4, 6, 7, 8}));
  std::vector<int> found;
  for (auto& s : scan["answer"])
    found.push_back(s["id"]);
  EXPECT_EQ(found, (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(h.host_view(), before);
  EXPECT_EQ(run_ctl(h.address, {"scan", "5"}).out, "5\n");  // pipes: the ids that answer

  // read lays ids out in groups; get says why a servo has no reading, json names it.
  struct row {
    ctl_args args;
    int status;
    const char* out;
    const char* err;  // part of standard error
  };
  const row rows[] = {
      {{"read", "1-4"}, 0, "read group 0: 1 2 3 4\nread group 1: not polled\n", ""},
      {{"get", "sv_pos.3", "sv_pos.4", "sv_pos.6"}, 0, "none\nnone\nnone\n",
       "servo 3 is in read group 0 but does not answer"},
      {{"get", "sv_pos.4"}, 0, "none\n", "servo 4 waits in read group 0 behind servo 3, which does not answer"},
      {{"get", "sv_pos.6"}, 0, "none\n", "servo 6 is not in a read group, so nobody asks it ('orvane-ctl read 6'"},
      {{"read", "1,3-2"}, 2, "", "'3-2' is not a range of servo ids"},
      {{"read", "0-4"}, 2, "", "servo ids 0-4 out of range 1..32"},
      {{"-o", "json", "leds"}, 2, "", "-o json is for info, scan, get, switches and fields"},
  };
  for (const row& w : rows) {
    SCOPED_TRACE(testing::PrintToString(w.args));
    auto res = run_ctl(h.address, w.args);
    EXPECT_EQ(res.status, w.status) << res.err;
    EXPECT_EQ(res.out.substr(0, strlen(w.out)), w.out);
    EXPECT_NE(res.err.find(w.err), std::string::npos) << res.err;
    if (w.args[0] == "read" && w.status == 0) {  // the layout is asked before the next row reads it
      ASSERT_TRUE(wait_until([&] { return r.reading(3).state == orvane::reading_state::silent; }, SIM_HOST_TIMEOUT));
    }
  }
  EXPECT_EQ(ctl_json(h.address, {"get", "sv_pos.2", "sv_pos.3"}),
            nlohmann::json::parse(R"([{"name":"sv_pos.2","value":0,"deg":0.0,"servo_deg":0.0},)"
                                  R"({"name":"sv_pos.3","value":null,"why":"silent","deg":null,"servo_deg":null}])"));
  EXPECT_EQ(ctl_json(h.address, {"switches"})[4], nlohmann::json::parse(R"({"switch":4,"gpio":4,"closed":false})"));
  EXPECT_EQ(ctl_json(h.address, {"fields"})[0]["name"], "one");
}

TEST(CtlRobot, ScanStoppedByCtrlCPutsTheReadGroupsAndPositionsBack)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost h;
  auto was = groups(h.robot);
  SimProcess scan({"-r", h.address, "scan", "7-32"}, ORVANE_CTL_PATH);  // silent: 0.1 s each
  ASSERT_TRUE(wait_until([&] { return groups(h.robot) != was; }, SIM_HOST_TIMEOUT));
  scan.send_signal(SIGINT);
  EXPECT_EQ(scan.wait_exit(SIM_HOST_TIMEOUT), 1);
  EXPECT_NE(scan.err().find("interrupted"), std::string::npos) << scan.err();
  EXPECT_EQ(groups(h.robot), was);
  for (int16_t w : h.robot.positions())
    EXPECT_NE(w, 0x7FFF);  // no scan mark left in a position word
}

// With a profile every verb and field takes joint names and shows joint degrees, and every goal
// is held to the joints' limits, however it is written; --anyway is the one way past, said aloud.
// Global options go anywhere on the line.
TEST_F(CtlSim, ProfileGivesJointNamesAndEveryGoalKeepsItsSoftLimits)
{
  TempDir dir;
  std::string prof = dir.file("arm.yaml", "joints:\n  base: {id: 1, min: -20, max: 20}\n"
                                          "  elbow: {id: 3, reverse: true, min: -10, max: 135}\n");
  auto& r = robot();
  struct row {
    ctl_args args;
    int status;
    const char* out;
    const char* err;
    std::function<void()> then;
  };
  const row rows[] = {
      {{"move", "--ticks", "2", "elbow=40", "base=-5"}, 0, "", "",
       [&] {
         EXPECT_EQ(r.get("servo.3.goal"), -400);  // reversed
         EXPECT_EQ(r.get("servo.1.goal"), -50);
       }},
      {{"get", "elbow.goal", "servo.elbow.goal", "sv_pos.base", "base"}, 0, "40.0\n-400\n", "", nullptr},
      {{"move", "elbow=140"}, 1, "",
       "orvane-ctl: elbow at 140 degrees (servo 3 at -140) is beyond its limits -10..135; nothing was sent", nullptr},
      {{"move", "1=25"}, 1, "", "base at 25 degrees (servo 1 at 25) is beyond its limits -20..20", nullptr},
      {{"set", "--deg", "servo.elbow.goal", "30"}, 1, "", "elbow at -30 degrees (servo 3 at 30) is beyond", nullptr},
      {{"set", "ip_target.3", "300"}, 1, "", "elbow at -30 degrees (servo 3 at 30) is beyond", nullptr},
      {{"move", "wrist=5"}, 1, "", "no such joint 'wrist' (joints: base, elbow)", nullptr},
      {{"torque", "on", "knee"}, 1, "", "no such joint 'knee' (joints: base, elbow)", nullptr},
      {{"get", "knee.goal"}, 1, "", "no such joint 'knee'", nullptr},
      {{"set", "elbow.goal", "30"}, 0, "", "", [&] { EXPECT_EQ(r.get("servo.3.goal"), -300); }},
      {{"torque", "on", "elbow", "base"}, 0, "", "", [&] { EXPECT_EQ(r.get("servo.3.torque"), 100); }},
      {{"read", "base", "elbow"}, 0, "read group 0: 1 3 (base elbow)\n", "", nullptr},
      {{"move", "--ticks", "1", "elbow=-15", "--anyway"}, 0, "",
       "orvane-ctl: --anyway: sent although elbow at -15 degrees (servo 3 at 15) is beyond its limits -10..135\n",
       [&] { EXPECT_EQ(r.get("servo.3.goal"), 150); }},
  };
  for (const row& w : rows) {
    SCOPED_TRACE(testing::PrintToString(w.args));
    setenv("ORVANE_PROFILE", prof.c_str(), 1);  // the environment's profile, as --profile's
    auto res = run_ctl(host().address, w.args);
    unsetenv("ORVANE_PROFILE");
    EXPECT_EQ(res.status, w.status) << res.err;
    EXPECT_EQ(res.out.substr(0, strlen(w.out)), w.out);
    EXPECT_NE(res.err.find(w.err), std::string::npos) << res.err;
    if (w.then)
      w.then();
  }
  // Options after the verb; JSON gives both units; info shows each servo's own torque.
  auto j = run_ctl(host().address, {"get", "elbow.goal", "-o", "json", "-p", prof});
  ASSERT_EQ(j.status, 0) << j.err;
  EXPECT_EQ(nlohmann::json::parse(j.out),
            nlohmann::json::parse(R"([{"name":"elbow.goal","value":-15.0,"deg":-15.0,"servo_deg":15.0}])"));
  auto info = run_ctl(host().address, {"info", "--profile", prof, "-o", "json"});
  ASSERT_EQ(info.status, 0) << info.err;
  auto sv = nlohmann::json::parse(info.out)["servos"];
  EXPECT_EQ(sv[2]["joint"], "elbow");
  EXPECT_EQ(sv[2]["torque"], 100);
  EXPECT_EQ(sv[1]["torque"], 0);
  auto bad = run_ctl(host().address, {"--profile", dir.file("none.yaml"), "get", "base"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("none.yaml: cannot read the file"), std::string::npos) << bad.err;
}

// --settle names the servo that did not get there, and the ones it could not wait for.
TEST_F(CtlSim, SettleNamesServosThatDidNotArriveOrHaveNoReading)
{
  // Servo 1's first reading comes a few passes after start-up; before it, it is not waited for.
  ASSERT_TRUE(wait_until([&] { return robot().position(1).has_value(); }, SIM_HOST_TIMEOUT));
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

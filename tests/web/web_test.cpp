// orvane-web's own logic: who gets in, what it polls and how it reads it back, which commands it
// refuses, and how its poller paces itself and survives the robot going away.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>

#include "orvane.h"
#include "support/sim_host.h"
#include "support/temp_dir.h"
#include "host/web/motions.h"
#include "host/web/access.h"
#include "host/web/command.h"
#include "host/web/json_in.h"
#include "host/web/poller.h"
#include "host/web/state.h"

TEST(WebAccess, ListenAddressesAndWhichOnesNeedAToken)
{
  struct row {
    const char* listen;
    bool ok;
    const char* host;
    uint16_t port;
    bool loopback;
  };
  for (const row& r : std::vector<row>{{"127.0.0.1:8080", true, "127.0.0.1", 8080, true},
                                       {"127.1.2.3:0", true, "127.1.2.3", 0, true},
                                       {"[::1]:8091", true, "::1", 8091, true},
                                       {"localhost:1", true, "localhost", 1, true},
                                       {"0.0.0.0:8080", true, "0.0.0.0", 8080, false},
                                       {"[::]:8080", true, "::", 8080, false},
                                       {"::1:8080", false, "", 0, false},
                                       {"127.0.0.1", false, "", 0, false},
                                       {"127.0.0.1:65536", false, "", 0, false},
                                       {"127.0.0.1:8o80", false, "", 0, false},
                                       {":8080", false, "", 0, false}}) {
    SCOPED_TRACE(r.listen);
    std::string host;
    uint16_t port = 0;
    ASSERT_EQ(web_split_listen(r.listen, &host, &port), r.ok);
    if (!r.ok)
      continue;
    EXPECT_EQ(host, r.host);
    EXPECT_EQ(port, r.port);
    EXPECT_EQ(web_is_loopback(host), r.loopback);
  }
}

TEST(WebAccess, QueryValuesAreDecodedAndMalformedOnesAreEmpty)
{
  struct row {
    const char* target;
    const char* want;
  };
  for (const row& r : std::vector<row>{{"/api/preview?robot=0&motion=wave.yaml", "wave.yaml"},
                                       {"/api/preview?motion=my%20wave.yaml&robot=0", "my wave.yaml"},
                                       {"/x?motion=a+b%2Fc", "a b/c"},
                                       {"/x?motion=%e2%9c%93", "\xe2\x9c\x93"},
                                       {"/x?notmotion=a&motion=b", "b"},
                                       {"/x?motion=50%", ""},
                                       {"/x?motion=%2", ""},
                                       {"/x?motion=%zz", ""},
                                       {"/x?motion=%+1", ""},
                                       {"/x?motion=", ""},
                                       {"/x?robot=1", ""},
                                       {"/x", ""}}) {
    SCOPED_TRACE(r.target);
    EXPECT_EQ(web_query(r.target, "motion"), r.want);
  }
}

TEST(WebAccess, TokenComesFromTheQueryOrThisPortsCookieOnly)
{
  std::string c = web_cookie_name(8091);
  EXPECT_EQ(web_request_token("/?token=abc12345", "", c), "abc12345");
  EXPECT_EQ(web_request_token("/ws/0?x=1&token=abc12345", "", c), "abc12345");
  EXPECT_EQ(web_request_token("/app.js", "a=1; " + c + "=secret99; b=2", c), "secret99");
  EXPECT_EQ(web_request_token("/app.js", web_cookie_name(8080) + "=other123", c), "");
  EXPECT_EQ(web_request_token("/?notoken=abc12345", "", c), "");
  EXPECT_EQ(web_request_token("/?token=", "", c), "");

  EXPECT_TRUE(web_token_ok("secret99", "secret99"));
  EXPECT_FALSE(web_token_ok("secret98", "secret99"));
  EXPECT_FALSE(web_token_ok("secret9", "secret99"));
  EXPECT_FALSE(web_token_ok("", ""));  // no token set lets nobody in

  std::string t = web_new_token();
  EXPECT_EQ(t.size(), 32u);
  EXPECT_EQ(web_token_problem(t), "");
  EXPECT_NE(t, web_new_token());
  EXPECT_NE(web_token_problem("short"), "");
  EXPECT_NE(web_token_problem("with space"), "");
  EXPECT_NE(web_token_problem("semi;colon"), "");
}

// Outside JSON is bounded before anything walks it; nesting is counted outside strings only.
TEST(WebJsonIn, SizeAndNestingAreBoundedBeforeTheValueIsRead)
{
  struct row {
    std::string text;
    json_in_limits limits;
    const char* why;  // nullptr: read
  };
  for (const row& r : std::vector<row>{
           {R"({"a":[[1]]})", {64, 3}, nullptr},
           {R"({"a":[[[1]]]})", {64, 3}, "nested deeper than 3"},
           {R"({"a":"[[[[{{{{"})", {64, 1}, nullptr},            // brackets inside a string
           {R"({"a":"\"[[[[","b":1})", {64, 1}, nullptr},       // after an escaped quote
           {R"({"a":"\\","b":[[[1]]]})", {64, 3}, "nested deeper than 3"},  // an escaped backslash ends
           {std::string(100000, '[') + std::string(100000, ']'), {1 << 20, 8}, "nested deeper than 8"},
           {std::string(100000, '['), {1 << 20, 8}, "nested deeper than 8"},
           {R"({"a":")" + std::string(100, 'x') + R"("})", {64, 8}, "more than 64 bytes"},
           {"{nope", {64, 8}, "not JSON"},
           {"]]]]{}", {64, 1}, "not JSON"},
       }) {
    SCOPED_TRACE(r.text.substr(0, 40));
    auto v = json_in(r.text, r.limits);
    if (r.why == nullptr)
      EXPECT_TRUE(std::holds_alternative<nlohmann::json>(v)) << std::get<std::string>(v);
    else
      EXPECT_EQ(std::get<std::string>(v), r.why);
  }
  // Looking a member up never inserts, and a missing one or a non-object reads as null.
  const nlohmann::json j = nlohmann::json::parse(R"({"a":1})");
  EXPECT_EQ(json_at(j, "a"), 1);
  EXPECT_TRUE(json_at(j, "b").is_null());
  EXPECT_TRUE(json_at(nlohmann::json::array({1}), "a").is_null());
  EXPECT_EQ(j.size(), 1u);
}

TEST(WebCommand, BadRequestsAreRefusedWithAReason)
{
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string big = R"({"op":"stop","x":")" + std::string(20000, 'x') + R"("})";
  for (const char* body : {
           deep.c_str(), big.c_str(),
           "", "not json", "[]", "{}", R"({"op":5})", R"({"op":"fly"})",
           R"({"op":"move","ms":500})",                              // no goals
           R"({"op":"move","goals":[],"ms":500})",                   // empty
           R"({"op":"move","goals":[[0,10]],"ms":500})",             // id 0
           R"({"op":"move","goals":[[33,10]],"ms":500})",            // no position word
           R"({"op":"move","goals":[[1,150.5]],"ms":500})",          // beyond the range
           R"({"op":"move","goals":[[1,"10"]],"ms":500})",
           R"({"op":"move","goals":[[1,10,3]],"ms":500})",
           R"({"op":"move","goals":[[1,10]]})",                      // no duration
           R"({"op":"move","goals":[[1,10]],"ms":-1})",
           R"({"op":"move","goals":[[1,10]],"ms":10001})",
           R"({"op":"move","goals":[[1.5,10]],"ms":100})",
           R"({"op":"torque"})", R"({"op":"torque","on":1})",
           R"({"op":"torque","on":true,"ids":[0]})", R"({"op":"torque","on":true,"ids":"1"})",
           R"({"op":"leds","leds":[[16,1]]})", R"({"op":"leds","leds":[[0,256]]})",
           R"({"op":"leds","leds":[[0,-1]]})", R"({"op":"leds"})",
           R"({"op":"exit"})", R"({"op":"exit","confirm":1})", R"({"op":"poweroff","confirm":false})",
           R"({"op":"play","motion":"wave"})",                       // not a motion file name
           R"({"op":"play","motion":"../wave.yaml"})", R"({"op":"play","motion":".hidden.yaml"})",
           R"({"op":"play"})",
           R"({"op":"read"})", R"({"op":"read","ids":[]})", R"({"op":"read","ids":[33]})",
           R"({"op":"move","goals":[["",10]],"ms":0})", R"({"op":"move","goals":[["elbow",400]],"ms":0})",
           R"({"op":"jog"})", R"({"op":"jog","v":[[1,181]]})", R"({"op":"jog","v":[[0,10]]})",
           R"({"op":"jog","v":[[1,10],[1,5]]})", R"({"op":"jog","v":[[1,"fast"]]})",
           R"({"op":"mirror"})", R"({"op":"mirror","action":"fly"})", R"({"op":"mirror","action":"engage"})",
           R"({"op":"mirror","action":"engage","leader":-1})",
       }) {
    SCOPED_TRACE(body);
    auto r = web_parse_command(body);
    ASSERT_TRUE(std::holds_alternative<std::string>(r));
    EXPECT_FALSE(std::get<std::string>(r).empty());
  }
  auto m = web_parse_command(R"({"op":"move","goals":[[1,-45.5],[32,150]],"ms":0})");
  ASSERT_TRUE(std::holds_alternative<web_command>(m));
  auto mv = std::get<web_command>(m);
  EXPECT_EQ(mv.what, web_command::move);
  EXPECT_EQ(mv.goals, (std::vector<std::pair<std::string, double>>{{"1", -45.5}, {"32", 150.0}}));
  // A joint by its name, in its own degrees: the robot model resolves it when it is carried out.
  auto jm = std::get<web_command>(web_parse_command(R"({"op":"move","goals":[["elbow",170]],"ms":0})"));
  EXPECT_EQ(jm.goals, (std::vector<std::pair<std::string, double>>{{"elbow", 170.0}}));
  auto t = std::get<web_command>(web_parse_command(R"({"op":"torque","on":false})"));
  EXPECT_EQ(t.what, web_command::torque);
  EXPECT_FALSE(t.on);
  EXPECT_TRUE(t.ids.empty());
  auto p = std::get<web_command>(web_parse_command(R"({"op":"poweroff","confirm":true})"));
  EXPECT_EQ(p.what, web_command::poweroff);
}

// The daemon answers an R line of up to 679 bytes in its line buffer.
TEST(WebState, PollPlanIsTwoRangesInsideTheMapThatFitOneAnswerLine)
{
  auto plan = web_poll_plan();
  EXPECT_EQ(plan.size(), 2u);
  for (const web_range& r : plan) {
    EXPECT_GT(r.n, 0u);
    EXPECT_LE(r.n, 679u);
    EXPECT_LE(r.adr + r.n, orvane::map_size);
  }
}

// Polls that differ only in the pass counter share a key, and the poller does not decode them
// again; any other byte a page shows makes a new key. The counter is still read from them.
TEST(WebState, PollKeyLeavesOutOnlyThePassCounter)
{
  auto plan = web_poll_plan();
  auto blank = [&] {
    std::vector<std::vector<uint8_t>> d;
    d.reserve(plan.size());
    for (const web_range& r : plan)
      d.emplace_back(r.n, 0);
    return d;
  };
  auto poke = [&](std::vector<std::vector<uint8_t>>& d, uint32_t adr, uint8_t v) {
    for (size_t i = 0; i < plan.size(); i++)
      if (adr >= plan[i].adr && adr < plan[i].adr + plan[i].n)
        d[i][adr - plan[i].adr] = v;
  };
  auto at = [](const char* name, int index) { return orvane::find_field(name)->offset_of(index); };
  const uint32_t count = at("loop_count", 0);
  const struct {
    const char* what;
    uint32_t adr;
    bool same;
  } cases[] = {
      {"loop_count's low byte", count, true},
      {"loop_count's high byte", count + 3, true},
      {"robot_name", at("robot_name", 0), false},
      {"sw_in of switch 4", at("sw_in", 4), false},
      {"the write list's last id", at("wr_ids", 29), false},
      {"servo 32's goal", at("servo.#.goal", 32), false},
      {"board B's last LED", at("led.b.#", 7), false},
      {"servo 1's move", at("ip_count", 1), false},
      {"servo 32's position, high byte", at("sv_pos", 32) + 1, false},
  };
  const std::vector<uint8_t> key = web_poll_key(plan, blank());
  for (const auto& c : cases) {
    auto d = blank();
    poke(d, c.adr, 0x5a);
    EXPECT_EQ(web_poll_key(plan, d) == key, c.same) << c.what;
  }
  auto d = blank();
  poke(d, count, 0x34);
  poke(d, count + 3, 0x12);
  EXPECT_EQ(web_loop_count(plan, d), 0x12000034u);
}

using WebSim = SimHostTest;

// What the page shows equals what the client library reads field by field.
TEST_F(WebSim, DecodedStateAgreesWithTheLibrary)
{
  orvane::client& c = robot();
  c.set("wr_count", 3);
  c.torque(true, {1});
  c.move({{1, 12.5}}, 1);
  c.set_leds({{1, 200}, {9, 7}});
  host().sim.send_stdin("close 3\n");
  ASSERT_TRUE(wait_until([&] {
    return c.switches()[3] && c.leds()[9] == 7 && c.position(1) == 12.5;
  }, 10s));

  auto plan = web_poll_plan();
  std::vector<std::vector<uint8_t>> data;
  data.reserve(plan.size());
  for (auto r : plan)
    data.push_back(c.read(r.adr, r.n));
  web_state s = web_decode(plan, data);
  EXPECT_EQ(s.name, c.get_text("robot_name"));
  EXPECT_EQ(s.tick_period, c.get("tick_period"));
  auto sw = c.switches();
  EXPECT_TRUE(std::equal(sw.begin(), sw.end(), s.sw.begin()));
  auto leds = c.leds();
  EXPECT_TRUE(std::equal(leds.begin(), leds.end(), s.leds.begin()));
  ASSERT_EQ(s.servos.size(), 3u);
  EXPECT_EQ(s.servos[0].id, 1);
  EXPECT_EQ(s.servos[0].goal, 125);
  EXPECT_EQ(s.servos[0].pos, 125);
  EXPECT_EQ(s.servos[0].torque, orvane::torque_on_value);
  EXPECT_EQ(s.servos[1].torque, 0);
  EXPECT_EQ(s.servos[2].pos, std::nullopt);  // servo 3 is in no read group
  auto j = nlohmann::json::parse(web_state_json(0, host().address, s, {}));
  EXPECT_EQ(j["servos"][2]["pos"], nullptr);
  EXPECT_EQ(j["servos"][2]["deg"], nullptr);
  EXPECT_EQ(j["servos"][2]["reading"], "no_group");
  EXPECT_EQ(j["servos"][2]["why"], "not in a read group");
  EXPECT_EQ(j["switches"][3], true);

  // Through a profile the rows carry joint names, the joint's degrees and its soft limits.
  orvane::robot_model m;
  m.file = "arm.yaml";
  m.joints = {{"base", 1, 2.5, true, -100, 120}, {"elbow", 3, 0, true, -10, 135}};
  web_state js = web_decode(plan, data, m);
  EXPECT_EQ(js.servos[0].joint, "base");
  EXPECT_EQ(js.servos[0].deg, -10.0);  // servo 12.5 is the joint at -10
  EXPECT_EQ(js.servos[0].goal_deg, -10.0);
  EXPECT_EQ(js.servos[2].joint, "elbow");
  EXPECT_EQ(js.servos[2].lo, -10);
  EXPECT_EQ(js.servos[2].hi, 135);
  EXPECT_EQ(js.servos[1].joint, "");

  // "read" puts a servo into the groups beside those there already.
  auto rd = std::get<web_command>(web_parse_command(R"({"op":"read","ids":[3]})"));
  web_apply(c, rd);
  EXPECT_EQ(c.groups(), (orvane::read_groups{{{1, 3}, {}, {}, {}}}));
}

const web_motions no_motions;

struct published {
  std::mutex mu;
  std::vector<nlohmann::json> states;
  void add(const std::string& s)
  {
    std::lock_guard<std::mutex> l(mu);
    states.push_back(nlohmann::json::parse(s));
  }
  nlohmann::json last()
  {
    std::lock_guard<std::mutex> l(mu);
    return states.empty() ? nlohmann::json::object() : states.back();
  }
};

// A slower tick slows the poller down with it, whatever --rate allows.
TEST_F(WebSim, PollerPollsAtMostOncePerTick)
{
  orvane::client& c = robot();
  c.set("tick_period", 50000);  // 20 ticks a second
  published p;
  web_poller w(0, host().address, 1000, [&](const std::string& s) { p.add(s); }, no_motions);
  ASSERT_TRUE(wait_until([&] { return w.polls() > 2; }, 10s));
  // Judged on the host's clock, which paces the poller: the daemon's own pass count may fall
  // behind it on an emulated CPU, where ticks are late.
  auto t0 = std::chrono::steady_clock::now();
  uint64_t polls0 = w.polls();
  std::this_thread::sleep_for(1500ms);
  uint64_t polls = w.polls() - polls0;
  auto ticks = (std::chrono::steady_clock::now() - t0) / 50ms;
  EXPECT_GT(polls, 0u);
  EXPECT_LE(polls, static_cast<uint64_t>(ticks) + 1);
  EXPECT_EQ(p.last()["tick_period"], 50000);
}

// Jogging: speeds within each joint's own limit, goals within its soft limits, in the joint's
// degrees (a reversed, trimmed wrist goes up as its joint does), and a jog that no page renews
// ends by itself with the servos held where they are.
TEST_F(WebSim, JogMovesOnlyWhileRenewedWithinTheJointsSpeedAndLimits)
{
  auto arm = std::make_shared<orvane::robot_model>();
  arm->file = "arm.yaml";
  arm->joints = {{"base", 1, 0, false, -120, 120}, {"lift", 2, 0, false, -3, 30, 20}, {"wrist", 3, 2.5, true, -10, 40}};
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, no_motions, arm);
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));
  auto submit = [&](const std::string& body) {
    std::atomic<int> status{0};
    w.submit(std::get<web_command>(web_parse_command(body)), [&](int st, const std::string&) { status = st; });
    EXPECT_TRUE(wait_until([&] { return status != 0; }, 10s));
    return status.load();
  };
  EXPECT_EQ(p.last()["servos"][1]["jog"], 20);
  EXPECT_EQ(submit(R"({"op":"jog","v":[[2,25]]})"), 400);  // above the lift's top speed
  EXPECT_EQ(submit(R"({"op":"jog","v":[[1,61]]})"), 400);  // above what a page may jog
  EXPECT_EQ(submit(R"({"op":"jog","v":[[9,10]]})"), 400);  // not in the write list
  // Renewed, the base turns and the lift goes down to its soft limit, and no further.
  auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until) {
    EXPECT_EQ(submit(R"({"op":"jog","v":[[1,60],[2,-20],[3,60]]})"), 200);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_GT(robot().get("servo.#.goal", 1), 100);
  EXPECT_EQ(robot().get("servo.#.goal", 2), -30);
  EXPECT_EQ(robot().get("servo.#.goal", 3), -375);  // the wrist at its joint's 40: servo -40 + 2.5
  // No longer renewed: it ends on its own, and the goals stay.
  ASSERT_TRUE(wait_until([&] { return p.last()["jog"]["ended"] == "no input for 0.4 s"; }, 10s)) << p.last();
  int64_t held = robot().get("servo.#.goal", 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(robot().get("servo.#.goal", 1), held);
  // Released by the page: at once.
  EXPECT_EQ(submit(R"({"op":"jog","v":[[1,-30]]})"), 200);
  EXPECT_EQ(submit(R"({"op":"jog","v":[]})"), 200);
  ASSERT_TRUE(wait_until([&] { return p.last()["jog"]["ended"] == "released"; }, 10s)) << p.last();
  // A stop ends a jog at once.
  EXPECT_EQ(submit(R"({"op":"jog","v":[[1,-30]]})"), 200);
  EXPECT_EQ(submit(R"({"op":"stop"})"), 200);
  ASSERT_TRUE(wait_until([&] { return p.last()["jog"]["ended"] == "stopped"; }, 10s)) << p.last();
  EXPECT_TRUE(p.last()["jog"]["ids"].empty()) << p.last();
}

// A stop, from whichever client, ends a mirroring session at once: the follower holds where it is
// and no longer follows. Servo 2 follows servo 1 of the same robot.
TEST_F(WebSim, AStopEndsMirroringAndTheFollowerHolds)
{
  if (!web_mirror::built())
    GTEST_SKIP() << "a build without the mirroring library";
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, no_motions, {}, {}, {},
               web_mirror_opts{"", {"2=1"}});
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));
  auto submit = [&](web_command cmd) {
    std::atomic<int> status{0};
    w.submit(std::move(cmd), [&](int st, const std::string&) { status = st; });
    EXPECT_TRUE(wait_until([&] { return status != 0; }, 10s));
    return status.load();
  };
  auto engage = std::get<web_command>(web_parse_command(R"({"op":"mirror","action":"engage","leader":0})"));
  engage.leader_address = host().address;
  ASSERT_EQ(submit(engage), 200);
  ASSERT_TRUE(wait_until([&] { return p.last()["mirror"]["phase"] == "tracking"; }, 30s)) << p.last();
  host().sim.send_stdin("push 1 20\n");
  ASSERT_TRUE(wait_until([&] { return robot().get("servo.#.goal", 2) == 200; }, 30s));
  EXPECT_EQ(submit(std::get<web_command>(web_parse_command(R"({"op":"stop"})"))), 200);
  ASSERT_TRUE(wait_until([&] { return p.last()["mirror"]["on"] == false; }, 10s)) << p.last();
  host().sim.send_stdin("push 1 -20\n");
  ASSERT_TRUE(host().sim.wait_stderr("servo 1 pushed to -20", 10s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(robot().get("servo.#.goal", 2), 200);
}

// A period the daemon ignores (it keeps its last one) does not slow the poller down: a map
// holding 2^31-1 us once put the next poll 35 minutes away.
TEST_F(WebSim, PollerKeepsPollingWhenTheMapHoldsAPeriodTheDaemonIgnores)
{
  orvane::client& c = robot();
  c.write(orvane::find_field("tick_period")->offset, {0xFF, 0xFF, 0xFF, 0x7F});
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, no_motions);
  ASSERT_TRUE(wait_until([&] { return w.polls() > 0; }, 10s));
  uint64_t polls0 = w.polls();
  EXPECT_TRUE(wait_until([&] { return w.polls() > polls0 + 5; }, 10s));
  c.set("tick_period", 16667);
}

// Polls of a robot at rest are not decoded, but a change still reaches the page at once, and the
// heartbeat still carries the pass rate.
TEST_F(WebSim, PollerAtRestStillShowsEveryChangeAndTheRate)
{
  published p;
  web_poller w(0, host().address, 1000, [&](const std::string& s) { p.add(s); }, no_motions);
  ASSERT_TRUE(wait_until([&] { return w.polls() > 10 && p.last().value("rate", 0.0) > 0; }, 10s));
  host().sim.send_stdin("close 2\n");
  EXPECT_TRUE(wait_until([&] { return p.last()["switches"][2] == true; }, 10s));
  host().sim.send_stdin("open 2\n");
  EXPECT_TRUE(wait_until([&] { return p.last()["switches"][2] == false; }, 10s));
}

TEST(WebPoller, ReconnectsByItselfAndRefusesCommandsMeanwhile)
{
  published p;
  std::optional<SimProcess> sim(std::in_place);
  int port = sim->port();
  ASSERT_GT(port, 0);
  std::string address = "127.0.0.1:" + std::to_string(port);
  web_poller w(0, address, 30, [&](const std::string& s) { p.add(s); }, no_motions);
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));

  sim.reset();
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", true) == false; }, 5s));
  EXPECT_NE(p.last()["problem"], "");
  std::atomic<int> status{0};
  w.submit(std::get<web_command>(web_parse_command(R"({"op":"torque","on":true})")),
           [&](int st, const std::string&) { status = st; });
  ASSERT_TRUE(wait_until([&] { return status != 0; }, 5s));
  EXPECT_EQ(status, 503);

  sim.emplace(std::vector<std::string>{"--port", std::to_string(port)});
  ASSERT_EQ(sim->port(), port);
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));
  status = 0;
  w.submit(std::get<web_command>(web_parse_command(R"({"op":"torque","on":true})")),
           [&](int st, const std::string&) { status = st; });
  ASSERT_TRUE(wait_until([&] { return status != 0; }, 5s));
  EXPECT_EQ(status, 200);
}

// A folder as a robot builder keeps it: a profile, motions (one with a fault), a stray file.
struct MotionFolder : TempDir {
  MotionFolder()
  {
    file("robot.yaml", "joints:\n  base: {id: 1}\n  lift: {id: 2, min: -30, max: 30}\n");
    file("nod.yaml", "description: a nod\nkeyframes:\n  - ms: 500\n    torque: on\n"
                     "    pose: {base: 20, lift: 10}\n  - ticks: 30\n    pose: {base: 0}\n");
    file("bad.yaml", "keyframes:\n  - ms: 100\n    pose: {lift: 45}\n");
    file("slow.yml", "keyframes:\n  - ms: 20000\n    torque: on\n    pose: {base: 90}\n");
    file("limp.yaml", "keyframes:\n  - ticks: 5\n    pose: {base: 10}\n");
    file("notes.txt", "not a motion");
  }
};

TEST(WebMotions, FolderListsItsMotionsAndTheirFaultsButNotTheProfile)
{
  if (!web_motions::built())
    GTEST_SKIP() << "this build has no motion library";
  MotionFolder d;
  web_motions m(d.path, web_profile_load(d.file("robot.yaml")));
  auto list = m.list();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].name, "bad.yaml");
  EXPECT_NE(list[0].problem.find("lift"), std::string::npos) << list[0].problem;
  EXPECT_EQ(list[2].name, "nod.yaml");
  EXPECT_EQ(list[2].description, "a nod");
  EXPECT_NEAR(list[2].seconds, 1.0, 0.02);  // 500 ms and 30 ticks
  EXPECT_EQ(list[2].problem, "");
  EXPECT_EQ(list[3].name, "slow.yml");

  EXPECT_THROW(web_motions(d.path + "/none", nullptr), std::runtime_error);
  EXPECT_THROW(web_profile_load(d.file("bad.yaml")), std::runtime_error);  // not a profile
  for (const char* name : {"nod.yaml", "a b.yml"})
    EXPECT_TRUE(web_motions::good_name(name)) << name;
  for (const char* name : {"", "nod", "../nod.yaml", "sub/nod.yaml", ".nod.yaml", "nod.yaml.txt"})
    EXPECT_FALSE(web_motions::good_name(name)) << name;
}

// A preview is the planned curve as the motion would play from the goals given, at the tick
// period given; what cannot play is refused as it would be by play.
TEST(WebMotions, PreviewPlansFromTheGivenGoalsAndRefusesWhatCannotPlay)
{
  if (!web_motions::built())
    GTEST_SKIP() << "this build has no motion library";
  MotionFolder d;
  web_motions m(d.path, web_profile_load(d.file("robot.yaml")));
  auto pj = nlohmann::json::parse(m.preview("nod.yaml", {{1, 50}, {2, -30}, {7, 900}}, 10000));
  EXPECT_EQ(pj["tick_period"], 10000);
  EXPECT_EQ(pj["first_pass"], 0);
  EXPECT_EQ(pj["ticks"], 50 + 30);  // 500 ms at 10 ms a tick, then 30 ticks
  ASSERT_EQ(pj["joints"].size(), 2u) << pj;
  const auto &base = pj["joints"][0], &lift = pj["joints"][1];
  EXPECT_EQ(base["id"], 1);
  EXPECT_DOUBLE_EQ(base["v"].front().get<double>(), 5);  // from the goal given
  EXPECT_DOUBLE_EQ(base["v"][50].get<double>(), 20);
  EXPECT_DOUBLE_EQ(base["v"].back().get<double>(), 0);
  EXPECT_DOUBLE_EQ(lift["v"].front().get<double>(), -3);
  EXPECT_DOUBLE_EQ(lift["v"].back().get<double>(), 10);  // held through the last keyframe
  for (const char* gone : {"gone.yaml", "../nod.yaml", "notes.txt", ""})
    EXPECT_THROW(m.preview(gone, {}, 0), std::invalid_argument) << gone;
  for (const char* bad : {"bad.yaml", "robot.yaml"})
    EXPECT_THROW(m.preview(bad, {}, 0), std::runtime_error) << bad;
  EXPECT_THROW(web_motions().preview("nod.yaml", {}, 0), std::invalid_argument);  // none on offer
}

// A page plays a motion while the poller goes on showing the robot; moves wait for its end, and
// a stop leaves the servos where they are.
TEST_F(WebSim, PollerPlaysMotionsOneAtATimeAndStopsThemOnRequest)
{
  if (!web_motions::built())
    GTEST_SKIP() << "this build has no motion library";
  MotionFolder d;
  web_motions m(d.path, web_profile_load(d.file("robot.yaml")));
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, m);
  std::string said;
  auto run = [&](const char* body) {
    std::atomic<int> status{0};
    w.submit(std::get<web_command>(web_parse_command(body)), [&](int st, const std::string& text) {
      said = text;
      status = st;
    });
    EXPECT_TRUE(wait_until([&] { return status != 0; }, 10s)) << body;
    return status.load();
  };
  auto motion = [&] { return p.last().value("motion", nlohmann::json::object()); };
  const char* move = R"({"op":"move","goals":[[1,5]],"ms":0})";

  EXPECT_EQ(run(R"({"op":"play","motion":"gone.yaml"})"), 404);
  EXPECT_EQ(run(R"({"op":"play","motion":"bad.yaml"})"), 400);
  // Another host's move still under way on the motion's servos: the motion waits for it.
  orvane::client other(host().address);
  other.move({{2, 20}}, 120);
  EXPECT_EQ(run(R"({"op":"play","motion":"nod.yaml"})"), 409);
  EXPECT_NE(said.find("servo.2.goal is still moving"), std::string::npos) << said;
  other.wait_until_still({2});
  ASSERT_EQ(run(R"({"op":"play","motion":"nod.yaml"})"), 200);
  EXPECT_EQ(run(move), 409);
  EXPECT_EQ(run(R"({"op":"play","motion":"nod.yaml"})"), 409);
  EXPECT_EQ(said, "nod.yaml is playing, started from a page of this orvane-web: stop it first");
  ASSERT_TRUE(wait_until([&] { return motion().value("outcome", "") == "done"; }, 20s)) << motion();
  EXPECT_EQ(motion()["moves"], 2);
  orvane::client& c = robot();
  EXPECT_EQ(c.get("servo.1.goal"), 0);
  EXPECT_EQ(c.get("servo.2.goal"), 100);
  EXPECT_EQ(run(move), 200);

  ASSERT_EQ(run(R"({"op":"play","motion":"slow.yml"})"), 200);
  ASSERT_TRUE(wait_until([&] { return c.get("servo.1.goal") > 100; }, 10s));
  // Its planned curve is on offer, named by the state: a straight line from 5 degrees (the move
  // before) to 90 in 1200 ticks, a sample a tick, and its keyframe marked where it ends.
  ASSERT_TRUE(wait_until([&] { return motion().value("plan", 0) != 0; }, 10s)) << motion();
  auto plan = w.plan();
  ASSERT_TRUE(plan);
  auto pj = nlohmann::json::parse(*plan);
  EXPECT_EQ(pj["serial"], motion()["plan"]);
  EXPECT_EQ(pj["ticks"], 1200);
  ASSERT_EQ(pj["joints"].size(), 1u) << pj;
  const auto& base = pj["joints"][0];
  EXPECT_EQ(base["id"], 1);
  EXPECT_EQ(base["v"].size(), 1201u);
  EXPECT_DOUBLE_EQ(base["v"][0].get<double>(), 5);
  EXPECT_DOUBLE_EQ(base["v"][1200].get<double>(), 90);
  EXPECT_NEAR(base["v"][600].get<double>(), 47.5, 0.01);
  EXPECT_EQ(base["keys"], nlohmann::json::parse("[[1200, 90.0]]"));
  EXPECT_EQ(run(R"({"op":"stop"})"), 200);
  ASSERT_TRUE(wait_until([&] { return motion().value("outcome", "") == "stopped"; }, 10s)) << motion();
  EXPECT_EQ(motion()["plan"], 0);
  EXPECT_FALSE(w.plan());
  int64_t held = c.get("servo.1.goal");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(c.get("servo.1.goal"), held);
  EXPECT_LT(held, 900);

  // A servo without torque will not follow: the page is told before the motion starts.
  c.torque(false, {1});
  ASSERT_EQ(run(R"({"op":"play","motion":"limp.yaml"})"), 200);
  ASSERT_TRUE(wait_until([&] { return motion().value("outcome", "") == "done"; }, 10s)) << motion();
  ASSERT_EQ(motion()["warnings"].size(), 1u) << motion();
  EXPECT_NE(motion()["warnings"][0].get<std::string>().find("servo 1"), std::string::npos);
}

namespace {

// A poller on the test's robot and the answers it gives, in the order given.
struct Answers {
  std::mutex mu;
  std::vector<std::pair<int, std::string>> got;
  web_poller::done_fn add(const std::string& label)
  {
    return [this, label](int st, const std::string& text) {
      std::lock_guard<std::mutex> l(mu);
      got.emplace_back(st, label + ": " + text);
    };
  }
  size_t size()
  {
    std::lock_guard<std::mutex> l(mu);
    return got.size();
  }
};

web_command parsed(const std::string& body)
{
  return std::get<web_command>(web_parse_command(body));
}

}  // namespace

// A stop never waits in the queue: behind a full queue of moves it is answered once the servos
// are held, and no move queued before it is carried out after it.
TEST_F(WebSim, AStopGoesAheadOfAFullQueueAndVoidsTheMovesBeforeIt)
{
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, no_motions);
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));
  Answers a;
  for (int i = 0; i < 16; i++)
    w.submit(parsed(R"({"op":"move","goals":[[1,)" + std::to_string(i % 2 ? 60 : -60) + R"(]],"ms":2000})"),
             a.add("move " + std::to_string(i)));
  w.submit(parsed(R"({"op":"stop"})"), a.add("stop"));
  ASSERT_TRUE(wait_until([&] { return a.size() == 17; }, 20s));
  orvane::client& c = robot();
  ASSERT_TRUE(wait_until([&] { return c.get("ip_count", 1) == 0; }, 10s));
  int64_t held = c.get("servo.1.goal");
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(c.get("servo.1.goal"), held);
  bool stopped = false;
  for (auto& [st, text] : a.got) {
    if (text.rfind("stop:", 0) == 0) {
      EXPECT_EQ(st, 200) << text;
      stopped = true;
    } else if (stopped) {
      EXPECT_EQ(st, 409) << text;
      EXPECT_NE(text.find("stopped"), std::string::npos) << text;
    }
  }
  EXPECT_TRUE(stopped);
}

// A move longer than one trigger (255 ticks) takes all its ticks, chained on the player's
// thread while the poller goes on polling; meanwhile other moves are refused, and a stop ends it
// where it is.
TEST_F(WebSim, LongMoveTakesAllItsTicksWhileThePollerPollsAndAStopEndsIt)
{
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, no_motions);
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));
  auto run = [&](const std::string& body) {
    std::atomic<int> status{0};
    w.submit(parsed(body), [&](int st, const std::string&) { status = st; });
    EXPECT_TRUE(wait_until([&] { return status != 0; }, 10s)) << body;
    return status.load();
  };
  orvane::client& c = robot();
  ASSERT_EQ(c.tick_us(), 16667);
  auto l0 = static_cast<uint32_t>(c.get("loop_count"));
  ASSERT_EQ(run(R"({"op":"move","goals":[[1,60]],"ms":6000})"), 200);  // 360 ticks
  uint64_t polls0 = w.polls();
  EXPECT_EQ(run(R"({"op":"move","goals":[[1,5]],"ms":0})"), 409);
  ASSERT_TRUE(wait_until([&] { return c.get("servo.1.goal") == 600 && c.get("ip_count", 1) == 0; }, 30s));
  EXPECT_GE(static_cast<uint32_t>(c.get("loop_count")) - l0, 355u);  // not cut to 255
  EXPECT_GT(w.polls(), polls0 + 5);

  ASSERT_EQ(run(R"({"op":"move","goals":[[1,-60]],"ms":10000})"), 200);  // 600 ticks
  ASSERT_TRUE(wait_until([&] { return c.get("servo.1.goal") < 500; }, 10s));
  EXPECT_EQ(run(R"({"op":"stop"})"), 200);
  int64_t held = c.get("servo.1.goal");
  EXPECT_GT(held, -600);
  EXPECT_EQ(c.get("ip_count", 1), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(c.get("servo.1.goal"), held);
  EXPECT_EQ(run(R"({"op":"move","goals":[[1,5]],"ms":0})"), 200);
}

// A chained move is judged by the model where it ends, not where its first part does: one that
// would cross a joint's limit part-way is refused before anything moves; one within them plays,
// and what it refuses meanwhile names who started it.
TEST_F(WebSim, LongMoveIsJudgedWhereItEndsAndNamesWhoStartedIt)
{
  auto arm = std::make_shared<orvane::robot_model>();
  arm->file = "arm.yaml";
  arm->joints = {{"base", 1, 0, false, -20, 20}};
  published p;
  web_poller w(0, host().address, 30, [&](const std::string& s) { p.add(s); }, no_motions, arm);
  ASSERT_TRUE(wait_until([&] { return p.last().value("connected", false); }, 10s));
  auto run = [&](const std::string& body) {
    std::atomic<int> status{0};
    std::string said;
    std::mutex mu;
    w.submit(parsed(body), [&](int st, const std::string& text) {
      std::lock_guard<std::mutex> l(mu);
      said = text;
      status = st;
    });
    EXPECT_TRUE(wait_until([&] { return status != 0; }, 10s)) << body;
    std::lock_guard<std::mutex> l(mu);
    return std::make_pair(status.load(), said);
  };
  orvane::client& c = robot();
  int64_t before = c.get("servo.1.goal");
  auto [st, why] = run(R"({"op":"move","goals":[["base",30]],"ms":6000})");  // 360 ticks
  EXPECT_EQ(st, 400);
  EXPECT_NE(why.find("base at 30 degrees (servo 1 at 30) is beyond its limits -20..20"), std::string::npos) << why;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(c.get("servo.1.goal"), before);
  EXPECT_EQ(c.get("ip_count", 1), 0);

  ASSERT_EQ(run(R"({"op":"move","goals":[["base",15]],"ms":6000})").first, 200);
  auto [busy, who] = run(R"({"op":"move","goals":[["base",0]],"ms":0})");
  EXPECT_EQ(busy, 409);
  EXPECT_NE(who.find("started from a page of this orvane-web"), std::string::npos) << who;
  EXPECT_EQ(run(R"({"op":"stop"})").first, 200);
}

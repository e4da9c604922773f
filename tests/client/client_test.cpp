// The client library against a running orvane-sim, asserted from the map as another host sees it.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "support/fake_robot.h"
#include "support/sim_host.h"


using ClientSim = SimHostTest;

TEST_F(ClientSim, SetThenGetGivesTheValueBackForEveryKindOfField)
{
  struct row {
    const char* name;
    int64_t value;
  };
  const row rows[] = {
      {"tick_period", 20000},  {"led_on", 0},           {"sv_comm_on", -2},
      {"ip_target.5", -300},   {"ip_target.127", 32767}, {"wr_ids.29", 7},
      {"ip_enable.3", 0},      {"servo.2.goal", 450},    {"servo.2.goal", -1500},
      {"servo.6.torque", 100}, {"led.a.0", 255},        {"led.b.7", 9},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    robot().set(r.name, r.value);
    EXPECT_EQ(robot().get(r.name), r.value);
  }
  EXPECT_EQ(robot().get_text("robot_name"), "ZIDIDOVE");
  robot().set_text("robot_name", "ARM");
  EXPECT_EQ(robot().get_text("robot_name"), "ARM");
  robot().set_bytes("rd_group", {1, 2, 3, 4}, 1);
  EXPECT_EQ(robot().read(0x00D0, 5), (std::vector<uint8_t>{1, 2, 3, 4, 0}));
  EXPECT_EQ(robot().get("sv_pos", 1), 0);  // the virtual servo 1 rests at 0
  EXPECT_EQ(robot().get("sv_pos", 7), orvane::no_reading);  // no servo 7
}

TEST_F(ClientSim, BadArgumentsThrowTheirErrorAndLeaveTheMapAsItWas)
{
  auto before = host().host_view();
  auto& r = robot();
  using fn = std::function<void()>;
  struct row {
    const char* what;
    fn call;
  };
  const row rows[] = {
      {"unknown field", [&] { r.set("sv_pso", 1); }},
      {"out of range 1..32", [&] { r.get("sv_pos", 33); }},
      {"out of range 0..127", [&] { r.set("ip_target.128", 1); }},
      {"out of range -1500..1500", [&] { r.set("servo.1.goal", 1501); }},
      {"out of range -150.0..150.0", [&] { r.move({{1, 10.0}, {2, 150.5}}, 10); }},
      {"out of range -150.0..150.0", [&] { r.move({{1, std::nan("")}}, 10); }},
      {"servo id 33 out of range", [&] { r.move({{33, 10.0}}, 10); }},
      {"ticks out of range 1..2147483647", [&] { r.move({{1, 10.0}}, 0); }},
      {"servo 7 is not in the write list (wr_ids 1 2 3 4 5 6): nothing would reach it",
       [&] { r.move({{1, 10.0}, {7, 10.0}}, 10); }},
      {"servos 7, 8 are not in the write list", [&] { r.torque(true, {1, 7, 8}); }},
      {"servo 9 is not in the write list", [&] { r.set("servo.9.goal", 5); }},
      {"named twice", [&] { r.move_channels({{1, 5}, {1, 6}}, 5); }},
      {"out of range 0..255", [&] { r.set("ttime", 256); }},
      {"written by the daemon", [&] { r.set("loop_count", 0); }},
      {"beyond the map", [&] { r.write(0x0FFF, {1, 2}); }},
      {"beyond the map", [&] { r.read(0x0F00, 0x101); }},
      {"longer than 31 bytes", [&] { r.set_text("robot_name", std::string(32, 'x')); }},
      {"LED 16 out of range", [&] { r.set_leds({{0, 1}, {16, 1}}); }},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    try {
      row.call();
      ADD_FAILURE() << "no error";
    } catch (const orvane::error& e) {
      EXPECT_NE(std::string(e.what()).find(row.what), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(host().host_view(), before);
  EXPECT_TRUE(robot().connected());
}

// A move lands on its goals within the ticks asked, and channels it does not name stay where
// they are although their targets differ from their outputs and they are enabled.
TEST_F(ClientSim, MoveLandsOnItsGoalsInTimeAndLeavesUnnamedChannelsAlone)
{
  auto& r = robot();
  r.write(0x0A00 + 2 * 5, {0x2c, 0x01});  // ip_target.5 = 300, no trigger: a stale target
  r.set("ip_target.100", -7);
  r.set("ip_enable.9", 0);                // a host's own choice, to be kept
  auto enables = r.read(0x0B00, 128);
  int64_t loops0 = r.get("loop_count");
  r.move({{1, 30.0}, {2, -45.5}, {3, 150.0}}, 30);
  r.wait_until_still({1, 2, 3});
  int64_t loops = r.get("loop_count") - loops0;
  EXPECT_EQ(r.get("servo.1.goal"), 300);
  EXPECT_EQ(r.get("servo.2.goal"), -455);
  EXPECT_EQ(r.get("servo.3.goal"), 1500);
  EXPECT_GE(loops, 30);
  EXPECT_LE(loops, 30 + 6);  // the passes before the trigger, and the ones that confirm
  EXPECT_EQ(r.get("ip_out.5"), 0);
  EXPECT_EQ(r.get("ip_out.100"), 0);
  EXPECT_EQ(r.read(0x0B00, 128), enables);
  // The virtual servo follows its goal once its torque is on.
  r.torque(true, {1});
  EXPECT_TRUE(wait_until([&] { return r.position(1) == 30.0; }, SIM_HOST_TIMEOUT));
  r.torque(false);
  EXPECT_EQ(r.get("servo.1.torque"), 0);
  EXPECT_EQ(r.get("servo.1.goal"), 300);
}

// The remembered dump address and count belong to every host at once; a second host that keeps
// moving them must not change what the library reads or where it writes.
TEST_F(ClientSim, AnotherHostMovingTheRememberedAddressAndCountChangesNoResult)
{
  auto other = host().line_host();
  std::atomic<bool> stop{false};
  std::thread meddler([&] {
    for (unsigned i = 0; !stop; i++) {
      char l[64];
      snprintf(l, sizeof l, "r %x %x\nW %x\n", (i * 97) % 0x1000, i % 7, (i * 131) % 0x1000);
      if (!other->send(l))
        break;
      std::this_thread::sleep_for(100us);
    }
  });
  auto& r = robot();
  for (int i = 0; i < 200; i++) {
    std::vector<uint8_t> v(1 + i % 40);
    for (size_t k = 0; k < v.size(); k++)
      v[k] = static_cast<uint8_t>(i + k);
    uint32_t adr = 0x0200 + static_cast<uint32_t>(i) * 8;
    r.write(adr, v);
    ASSERT_EQ(r.read(adr, static_cast<uint32_t>(v.size())), v) << "round " << i;
    ASSERT_EQ(r.get_text("robot_name"), "ZIDIDOVE");
  }
  stop = true;
  meddler.join();
}

// One client shared by threads: each gets its own answers, and moves do not interleave.
TEST_F(ClientSim, OneClientSharedByThreadsGivesEachThreadItsOwnAnswers)
{
  auto& r = robot();
  std::vector<std::thread> threads;
  threads.reserve(4);
  std::atomic<int> wrong{0};
  for (int t = 0; t < 3; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; i++) {
        uint32_t adr = 0x0300 + 0x40 * static_cast<uint32_t>(t);
        std::vector<uint8_t> v(8, static_cast<uint8_t>(t * 64 + i));
        r.write(adr, v);
        wrong += r.read(adr, 8) != v;
      }
    });
  threads.emplace_back([&] {
    for (int i = 1; i <= 5; i++)
      r.move({{4, 10.0 * i}}, 2);
  });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(wrong, 0);
  r.wait_until_still({4});
  EXPECT_EQ(r.get("servo.4.goal"), 500);
  EXPECT_EQ(r.read(0x0B00, 128), std::vector<uint8_t>(128, 1));
}

TEST_F(ClientSim, ExitRequestEndsTheDaemonAndLaterCallsSaySo)
{
  robot().request_exit();
  EXPECT_EQ(host().sim.wait_exit(SIM_HOST_TIMEOUT), 0);
  EXPECT_THROW(robot().get("ttime"), orvane::closed_error);
  EXPECT_THROW(host().connect(), orvane::connect_error);
}

// Robots that misbehave: each failure gives its own error, within the time-out.
TEST(ClientFaults, UnreachableSilentClosingAndForeignPeersGiveTheirErrors)
{
  struct row {
    const char* what;
    std::function<void(int fd)> serve;  // null: nobody listens
    const char* error;
  };
  auto say = [](const char* text) { return [text](int fd) { (void)!write(fd, text, strlen(text)); }; };
  const row rows[] = {
      {"nobody listens", nullptr, "connection refused"},
      {"silent", [](int) { std::this_thread::sleep_for(1500ms); }, "no banner"},
      {"closes mid-command",
       [](int fd) {
         FakeRobot::banner(fd);
         FakeRobot::read_line(fd);
       },
       "connection closed by the robot"},
      {"never answers",
       [](int fd) {
         FakeRobot::banner(fd);
         FakeRobot::read_line(fd);
         std::this_thread::sleep_for(1500ms);
       },
       "no answer from the robot at 127.0.0.1:"},
      {"garbles the dump",
       [&](int fd) {
         FakeRobot::banner(fd);
         FakeRobot::read_line(fd);
         say("#0040 1b 4\r\n")(fd);
       },
       "unexpected answer"},
      {"speaks another protocol", say("SSH-2.0-x\r\n"), "is not an orvane monitor"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.what);
    FakeRobot fake(r.serve);
    auto t0 = std::chrono::steady_clock::now();
    try {
      orvane::client c(fake.address(), 1s);
      c.get("tick_period");
      ADD_FAILURE() << "no error";
    } catch (const orvane::error& e) {
      EXPECT_NE(std::string(e.what()).find(r.error), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  }
}

// The daemon runs at tick periods of 1..999,999 us and keeps its last one for any other value:
// set refuses such a value, and a map that holds one (written raw) is timed at the start-up
// period, never at the value itself.
TEST_F(ClientSim, TickPeriodsTheDaemonIgnoresAreRefusedAndNeverTimedWith)
{
  auto& r = robot();
  for (int64_t v : {int64_t{0}, int64_t{1000000}, int64_t{INT32_MAX}})
    EXPECT_THROW(r.set("tick_period", v), orvane::out_of_range) << v;
  try {
    r.set("tick_period", 1000000);
  } catch (const orvane::out_of_range& e) {
    EXPECT_NE(std::string(e.what()).find("out of range 1..999999"), std::string::npos) << e.what();
  }
  struct row {
    int32_t map, tick_us;
    int ticks_2s;
  };
  uint32_t at = orvane::find_field("tick_period")->offset;
  for (const row& w : {row{5000, 5000, 400}, row{999999, 999999, 2}, row{1000000, 16667, 120},
                       row{INT32_MAX, 16667, 120}, row{0, 16667, 120}, row{-5, 16667, 120}}) {
    SCOPED_TRACE(w.map);
    auto u = static_cast<uint32_t>(w.map);
    r.write(at, {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                 static_cast<uint8_t>(u >> 24)});
    EXPECT_EQ(r.tick_us(), w.tick_us);
    EXPECT_EQ(r.ticks_for(2000ms), w.ticks_2s);
  }
  r.set("tick_period", 16667);
}

// A move longer than one trigger is chained along its straight line and lands on its goal; the
// write list's check can be switched off, and wait_until_reached waits for the position itself.
TEST_F(ClientSim, LongMoveIsChainedAlongItsLineAndReachedIsWaitedFor)
{
  auto& r = robot();
  r.set("tick_period", 5000);  // 200 Hz: two seconds are 400 ticks, two triggers
  r.torque(true, {1});
  int ticks = r.ticks_for(2000ms);
  ASSERT_EQ(ticks, 400);
  auto other = host().connect();
  std::vector<std::pair<int64_t, int64_t>> seen;  // (loop_count, ip_out.1) while it moves
  int64_t l0 = r.get("loop_count");
  std::thread mover([&] { r.move({{1, 20.0}}, ticks); });
  for (int i = 0; i < 60; i++) {
    seen.push_back({other->get("loop_count"), other->get("servo.1.goal")});
    std::this_thread::sleep_for(25ms);
  }
  mover.join();
  r.wait_until_still({1});
  EXPECT_LE(r.get("loop_count") - l0, 400 + 40);  // a pass or a few per trigger, at most
  EXPECT_EQ(r.wait_until_reached({1, 2}, 0.5), std::vector<int>{2});  // servo 2 has no reading
  EXPECT_NEAR(*r.position(1), 20.0, 0.5);
  EXPECT_EQ(r.get("servo.1.goal"), 200);
  for (auto [loop, goal] : seen)  // on the line: 0.5 units a pass, a few passes of slack
    EXPECT_NEAR(goal, std::clamp<double>((loop - l0) * 0.5, 0, 200), 6) << "pass " << loop - l0;
  // A limp servo does not get there, and is named.
  r.torque(false, {1});
  r.move({{1, -20.0}}, 2);
  try {
    r.wait_until_reached({1}, 0.5, 300ms);
    ADD_FAILURE() << "no error";
  } catch (const orvane::not_reached& e) {
    EXPECT_EQ(e.ids, std::vector<int>{1});
    EXPECT_NE(std::string(e.what()).find("servo 1 on " + host().address +
                                         " did not reach its goal within 0.3 s"),
              std::string::npos) << e.what();
  }
  r.move({{7, 12.5}}, 1, orvane::write_list_check::off);
  r.set("servo.7.torque", 3, std::nullopt, orvane::write_list_check::off);
  EXPECT_EQ(r.get("servo.7.goal"), 125);
  EXPECT_EQ(r.get("servo.7.torque"), 3);
}

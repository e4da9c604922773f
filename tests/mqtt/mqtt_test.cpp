// orvane-mqtt against a real mosquitto running the classroom configuration, with orvane-sim
// robots each behind its own bridge process: presence, commands and their checks, the broker's
// access rules, the class-wide stop, a lost broker, and the state messages' rate.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <nlohmann/json.hpp>

#include "broker.h"
#include "host/mqtt/topics.h"
#include "support/sim_host.h"

using nlohmann::json;

namespace {

constexpr auto deadline = 20s;  // generous: sanitizers, and several robots on two cores

std::string robot_id(size_t i)
{
  return (i < 9 ? "robot0" : "robot") + std::to_string(i + 1);
}

// A room: the broker, the teacher's account, and robots each with a bridge logged in as its id.
// With TLS, `extra` gives every bridge its --cafile and `teachers_ca` is the teacher's.
struct Room {
  explicit Room(int robots, const TestBroker::tls_files& tls = {}, std::vector<std::string> extra = {},
                std::string teachers_ca = "")
      : broker(accounts(robots), tls), extra_(std::move(extra)), cafile_(std::move(teachers_ca))
  {
    for (int i = 0; i < robots; i++) {
      sims.push_back(std::make_unique<SimHost>());
      std::string cred = broker.dir().file(robot_id(i) + ".cred", robot_id(i) + "\npw-" + robot_id(i) + "\n");
      chmod(cred.c_str(), 0600);
      bridges.push_back(nullptr);
      start_bridge(i);
    }
  }
  // Every bridge still running ends cleanly on SIGTERM: status 0, and no sanitizer report (a
  // leak, a race) in what it wrote. One the test killed with SIGKILL is left out.
  ~Room()
  {
    for (auto& b : bridges)
      b->send_signal(SIGTERM);
    for (size_t i = 0; i < bridges.size(); i++) {
      std::optional<int> st = bridges[i]->wait_exit(deadline);
      if (st == -SIGKILL)
        continue;
      bridges[i]->wait_output_closed(deadline);
      std::string err = bridges[i]->err();
      EXPECT_EQ(st, 0) << robot_id(static_cast<int>(i)) << ": " << err;
      EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << robot_id(static_cast<int>(i)) << ": " << err;
      EXPECT_EQ(err.find("runtime error"), std::string::npos) << robot_id(static_cast<int>(i)) << ": " << err;
    }
  }
  // The bridge is this build's, or the one ORVANE_MQTT_BRIDGE names with the words before it
  // ("qemu-arm -cpu arm1176 build-armv6/host/mqtt/orvane-mqtt": the robot's, emulated, which
  // reads no profile and plays no motions).
  void start_bridge(int i)
  {
    std::string cred = broker.dir().path + "/" + robot_id(i) + ".cred";
    std::vector<std::string> args;
    std::string exe = ORVANE_MQTT_PATH;
    if (const char* b = getenv("ORVANE_MQTT_BRIDGE"); b != nullptr && *b != 0) {
      std::istringstream words(b);
      for (std::string w; words >> w;)
        args.push_back(w);
      exe = args.front();
      args.erase(args.begin());
    } else {
      args = {"--motions", ORVANE_MOTIONS_DIR, "--profile", ORVANE_MOTIONS_DIR "/robot.yaml"};
    }
    args.insert(args.end(), {"--robot", sims[i]->address, "--broker", broker.url(), "--id",
                             robot_id(i), "--credentials", cred, "--keepalive", "2"});
    args.insert(args.end(), extra_.begin(), extra_.end());
    bridges[i] = std::make_unique<SimProcess>(args, exe);
  }
  static bool plays_motions() { return getenv("ORVANE_MQTT_BRIDGE") == nullptr; }
  static std::vector<std::pair<std::string, std::string>> accounts(int robots)
  {
    std::vector<std::pair<std::string, std::string>> a = {{"teacher", "pw-teacher"}};
    for (int i = 0; i < robots; i++)
      a.emplace_back(robot_id(i), "pw-" + robot_id(i));
    return a;
  }
  std::unique_ptr<TestPeer> teacher(std::vector<std::string> subs = {"orvane/#"})
  {
    auto p = std::make_unique<TestPeer>(broker.url(), "teacher", "pw-teacher", std::move(subs), cafile_);
    EXPECT_TRUE(p->wait_up());
    return p;
  }
  std::unique_ptr<TestPeer> group(int i, std::vector<std::string> subs)
  {
    auto p = std::make_unique<TestPeer>(broker.url(), robot_id(i), "pw-" + robot_id(i), std::move(subs));
    EXPECT_TRUE(p->wait_up());
    return p;
  }
  // Every robot's status is online: the bridges are connected and subscribed.
  void all_online(TestPeer& t)
  {
    for (size_t i = 0; i < sims.size(); i++)
      ASSERT_TRUE(t.wait(mq_topic(robot_id(i), "status"),
                         [](const mq_incoming& m) { return m.payload == "online"; }, deadline))
          << robot_id(i) << ": " << bridges[i]->err();
  }
  // Until no goal channel of the robot's servos is moving.
  bool still(int i)
  {
    return wait_until([&] {
      auto counts = sims[i]->robot.read(orvane::find_field("ip_count")->offset + 1, orvane::servo_max);
      return std::all_of(counts.begin(), counts.end(), [](uint8_t c) { return c == 0; });
    }, deadline);
  }

  TestBroker broker;
  std::vector<std::string> extra_;
  std::string cafile_;
  std::vector<std::unique_ptr<SimHost>> sims;
  std::vector<std::unique_ptr<SimProcess>> bridges;
};

bool is(const mq_incoming& m, const char* event)
{
  json j = json::parse(m.payload, nullptr, false);
  return j.is_object() && j.value("event", "") == event;
}

// What the robot's bridge published since `from`, for a failure's message.
std::string heard_since(TestPeer& t, const std::string& id, size_t from)
{
  std::string s;
  for (const char* sub : {"reply", "event", "status"})
    for (const mq_incoming& m : t.heard(mq_topic(id, sub), from))
      s += m.topic + " " + m.payload + "\n";
  return s;
}

class Fleet : public ::testing::Test {
 protected:
  void SetUp() override { ORVANE_SKIP_IF_EMULATED(); }
};

}  // namespace

TEST_F(Fleet, EveryRobotIsOnlineWithItsInfoRetainedAndABrokerRestartBringsThemBack)
{
  Room room(ORVANE_MQTT_ROBOTS);
  {
    auto t = room.teacher();
    room.all_online(*t);
  }
  for (int round = 0; round < 2; round++) {
    // A newcomer gets status and info as retained messages.
    auto t = room.teacher({"orvane/+/status", "orvane/+/info"});
    for (int i = 0; i < ORVANE_MQTT_ROBOTS; i++) {
      auto st = t->wait(mq_topic(robot_id(i), "status"), nullptr, deadline);
      ASSERT_TRUE(st) << robot_id(i);
      EXPECT_TRUE(st->retained);
      EXPECT_EQ(st->payload, "online");
      auto info = t->wait(mq_topic(robot_id(i), "info"), nullptr, deadline);
      ASSERT_TRUE(info) << robot_id(i);
      EXPECT_TRUE(info->retained);
      json j = json::parse(info->payload);
      EXPECT_EQ(j["id"], robot_id(i));
      EXPECT_EQ(j["robot_name"], "ZIDIDOVE");
      if (Room::plays_motions()) {
        EXPECT_EQ(j["joints"]["base"], 1);
      }
      EXPECT_NE(j["banner"].get<std::string>().find("#orvane"), std::string::npos);
    }
    // The broker keeps nothing across a restart: what the newcomer gets next round, the
    // bridges published again once they were back.
    if (round == 0) {
      t.reset();
      room.broker.stop();
      room.broker.start();
    }
  }
}

TEST_F(Fleet, CommandsAreCheckedCompletelyAndOnlyGoodOnesChangeTheMap)
{
  Room room(1);
  auto g = room.group(0, {"orvane/robot01/reply", "orvane/robot01/status"});
  room.all_online(*g);  // the group may read its robot's status too
  struct row {
    const char* name;
    const char* verb;
    std::string payload;
    bool retained;
    const char* error;  // nullptr: ok
  };
  const std::string move = R"("goals":[[1,30.5]],"ms":200)";
  std::vector<row> rows = {
      {"out of range", "move", test_command("a", R"("goals":[[1,150.1]],"ms":200)"), false, "goals"},
      {"no such servo", "move", test_command("b", R"("goals":[[33,10]],"ms":200)"), false, "goals"},
      {"stale", "move", test_command("c", move, 60), false, "s old"},
      {"from the future", "move", test_command("d", move, -60), false, "s old"},
      {"retained", "move", test_command("e", move), true, "retained"},
      {"no ts", "move", R"({"id":"f","goals":[[1,30.5]],"ms":200})", false, "\"ts\""},
      {"unknown verb", "fly", test_command("g", ""), false, "unknown command"},
      {"poweroff not allowed", "poweroff", test_command("h", R"("confirm":true)"), false, "--allow-poweroff"},
      {"exit unconfirmed", "exit", test_command("i", ""), false, "confirm"},
      {"not json", "move", "{nope", false, "JSON"},
      {"no motion", "play", test_command("k", R"("motion":"../x.yaml")"), false, "motion"},
  };
  auto before = room.sims[0]->host_view();
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    size_t from = g->count();
    ASSERT_TRUE(g->publish("orvane/robot01/cmd/" + std::string(r.verb), r.payload, r.retained));
    json sent = json::parse(r.payload, nullptr, false);
    std::string request = sent.is_object() ? sent.value("id", "") : "";
    auto reply = g->wait("orvane/robot01/reply", [&](const mq_incoming& m) {
      return json::parse(m.payload).value("id", "?") == request;
    }, deadline, from);
    ASSERT_TRUE(reply);
    json j = json::parse(reply->payload);
    EXPECT_EQ(j["ok"], false);
    EXPECT_NE(j.value("error", "").find(r.error), std::string::npos) << reply->payload;
    if (r.retained)
      g->publish("orvane/robot01/cmd/" + std::string(r.verb), "", true);  // clears it
  }
  EXPECT_EQ(room.sims[0]->host_view(), before) << "a refused command changed the map";

  // Good ones are carried out, and answered with their request id.
  for (auto [verb, body, field, value] :
       std::vector<std::tuple<std::string, std::string, std::string, int64_t>>{
           {"move", move, "servo.1.goal", 305},
           {"leds", R"("leds":[[9,77]])", "led.b.1", 77},
           {"torque", R"("on":true,"ids":[2])", "servo.2.torque", orvane::torque_on_value}}) {
    SCOPED_TRACE(verb);
    size_t from = g->count();
    ASSERT_TRUE(g->publish("orvane/robot01/cmd/" + verb, test_command("ok-" + verb, body)));
    auto reply = g->wait("orvane/robot01/reply", nullptr, deadline, from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, mq_reply("ok-" + verb));
    EXPECT_TRUE(wait_until([&, f = field, v = value] { return room.sims[0]->robot.get(f) == v; }, deadline));
  }
}

TEST_F(Fleet, OneGroupsCredentialsCannotCommandAnotherRobot)
{
  Room room(2);
  auto t = room.teacher({"orvane/robot01/#", "orvane/all/#"});
  room.all_online(*room.teacher());
  auto g2 = room.group(1, {});
  auto before = room.sims[0]->host_view();
  size_t from = t->count();
  g2->publish("orvane/robot01/cmd/move", test_command("x", R"("goals":[[1,40]],"ms":100)"));
  g2->publish("orvane/robot01/cmd/exit", test_command("y", R"("confirm":true)"));
  g2->publish("orvane/all/cmd/stop", "");
  std::this_thread::sleep_for(1500ms);
  for (const char* topic : {"orvane/robot01/cmd/move", "orvane/robot01/cmd/exit",
                            "orvane/robot01/reply", "orvane/all/cmd/stop"})
    EXPECT_FALSE(t->wait(topic, nullptr, 0ms, from)) << topic << " got through";
  EXPECT_EQ(room.sims[0]->host_view(), before);
}

TEST_F(Fleet, TheClassWideStopStopsEveryMotionAndALostBrokerStopsOne)
{
  if (!Room::plays_motions())
    GTEST_SKIP() << "the robot's bridge plays no motions";
  Room room(ORVANE_MQTT_ROBOTS);
  auto t = room.teacher();
  room.all_online(*t);
  auto play_all = [&](int robots) {
    size_t from = t->count();
    for (int i = 0; i < robots; i++)
      ASSERT_TRUE(t->publish(mq_topic(robot_id(i), "cmd/play"),
                             test_command("p" + std::to_string(i), R"("motion":"wave.yaml")")));
    for (int i = 0; i < robots; i++)
      ASSERT_TRUE(t->wait(mq_topic(robot_id(i), "event"),
                          [](const mq_incoming& m) { return is(m, "motion-started"); }, deadline, from))
          << robot_id(i) << ": " << heard_since(*t, robot_id(i), from) << room.bridges[i]->err();
  };
  play_all(ORVANE_MQTT_ROBOTS);
  size_t from = t->count();
  ASSERT_TRUE(t->publish(mq_stop_all, ""));
  for (int i = 0; i < ORVANE_MQTT_ROBOTS; i++) {
    EXPECT_TRUE(t->wait(mq_topic(robot_id(i), "event"),
                        [](const mq_incoming& m) { return is(m, "motion-stopped"); }, deadline, from))
        << robot_id(i);
    EXPECT_TRUE(room.still(i)) << robot_id(i);
  }

  // The broker goes away mid-motion: that motion stops, and is not taken up again on return.
  play_all(1);
  t.reset();
  room.broker.stop();
  // The bridge says so once the motion has ended and the servos are held; a look at the servos
  // alone could fall in a pause between two of the motion's moves.
  ASSERT_TRUE(room.bridges[0]->wait_stderr("connection lost; motions stopped", deadline));
  ASSERT_TRUE(room.still(0));
  auto held = room.sims[0]->robot.read(orvane::find_field("ip_out")->offset, 64);
  room.broker.start();
  auto t2 = room.teacher();
  room.all_online(*t2);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(room.sims[0]->robot.read(orvane::find_field("ip_out")->offset, 64), held);
}

TEST_F(Fleet, AKilledBridgeIsAnnouncedOfflineAndStateMessagesKeepToTheRate)
{
  Room room(2);
  auto t = room.teacher({"orvane/+/status", "orvane/robot01/state"});
  room.all_online(*t);
  // State: a long move keeps robot01 changing; --rate is 5 by default.
  t->publish("orvane/robot01/cmd/move", test_command("m", R"("goals":[[1,100]],"ms":4000)"));
  std::this_thread::sleep_for(500ms);
  size_t before = t->heard("orvane/robot01/state").size();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto states = t->heard("orvane/robot01/state");
  size_t n = states.size() - before;
  EXPECT_GE(n, 2u);
  EXPECT_LE(n, static_cast<size_t>(5 * seconds) + 1) << "more state messages than --rate";
  json last = json::parse(states.back().payload);
  EXPECT_GT(last["rate"].get<double>(), 0);
  if (Room::plays_motions()) {
    EXPECT_TRUE(last["servo"].contains("base"));  // joint names from the profile
  }

  // kill -9: only the broker can say the bridge is gone, from its last will.
  size_t from = t->count();
  room.bridges[1]->send_signal(SIGKILL);
  auto off = t->wait("orvane/robot02/status",
                     [](const mq_incoming& m) { return m.payload == "offline"; }, deadline, from);
  EXPECT_TRUE(off);
}

// The guide's TLS set-up: the bridge reaches the broker only when the CA it was given signed the
// broker's certificate and that certificate names the host it dialled.
TEST_F(Fleet, OverTlsTheBridgeTakesOnlyACertificateItsCaSignedForTheHostItDialled)
{
  TempDir dir;
  TestPki pki(dir);
  struct row {
    const char* name;
    std::string cert, bridge_ca;
    bool connects;
  };
  for (const row& r : std::vector<row>{{"signed by its CA for 127.0.0.1", pki.cert, pki.ca, true},
                                       {"signed by another CA", pki.cert, pki.stranger_ca, false},
                                       {"for another name", pki.misnamed_cert, pki.ca, false}}) {
    SCOPED_TRACE(r.name);
    Room room(1, {pki.ca, r.cert, pki.key}, {"--cafile", r.bridge_ca}, pki.ca);
    if (r.connects) {
      room.all_online(*room.teacher({"orvane/+/status"}));
      continue;
    }
    // A refused handshake is reported and retried; the bridge never gets in.
    SimProcess& bridge = *room.bridges[0];
    ASSERT_TRUE(bridge.wait_stderr("orvane-mqtt: broker " + room.broker.url() + ": ", deadline)) << bridge.err();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(bridge.err().find("connected as"), std::string::npos) << bridge.err();
  }
}

// The bridge's pure parts: ids, broker URLs, the command check and the events between states.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "host/mqtt/discovery.h"
#include "host/mqtt/link.h"
#include "host/mqtt/topics.h"

TEST(MqttTopics, IdsAndBrokerUrls)
{
  for (auto [id, ok] : std::vector<std::pair<std::string, bool>>{
           {"robot01", true}, {"a", true}, {"x_y-z", true}, {std::string(32, 'a'), true},
           {"", false}, {std::string(33, 'a'), false}, {"Robot", false}, {"a/b", false},
           {"+", false}, {"#", false}, {"a b", false}})
    EXPECT_EQ(mq_id_ok(id), ok) << id;
  EXPECT_EQ(mq_id_from_name("ZIDIDOVE"), "zididove");
  EXPECT_EQ(mq_id_from_name("Arm #2/left"), "arm2left");
  EXPECT_EQ(mq_id_from_name("+#/"), "");

  for (auto [url, paho] : std::vector<std::pair<std::string, std::string>>{
           {"mqtt://h", "tcp://h:1883"}, {"mqtt://h:99", "tcp://h:99"},
           {"mqtts://h", "ssl://h:8883"}, {"mqtt://[::1]", "tcp://[::1]:1883"},
           {"mqtt://[::1]:5", "tcp://[::1]:5"}, {"tcp://h", ""}, {"mqtt://", ""},
           {"mqtt://h/x", ""}, {"h:1883", ""}})
    EXPECT_EQ(mq_link::paho_uri(url), paho) << url;
}

TEST(MqttTopics, CommandCheck)
{
  const double now = 1'000'000;
  struct row {
    std::string topic, payload;
    bool retained;
    const char* error;  // nullptr: accepted
    const char* request;
  };
  const std::string ts = R"("ts":1000000)";
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const row& r : std::vector<row>{
           {"orvane/r1/cmd/move", R"({"id":"a",)" + ts + R"(,"goals":[[1,2]],"ms":5})", false, nullptr, "a"},
           {"orvane/r1/cmd/move", R"({"id":7,"ts":1000004.5,"goals":[[1,2]],"ms":5})", false, nullptr, "7"},
           {"orvane/r1/cmd/move", R"({"id":"a","ts":999994,"goals":[[1,2]],"ms":5})", false, "s old", "a"},
           {"orvane/r1/cmd/move", R"({"id":"a",)" + ts + R"(,"goals":[[1,2]],"ms":5})", true, "retained", "a"},
           {"orvane/r1/cmd/move", R"({)" + ts + R"(,"goals":[[1,2]],"ms":5})", false, "\"id\"", ""},
           {"orvane/r1/cmd/move", R"({"id":")" + std::string(65, 'x') + R"(",)" + ts + "}", false, "\"id\"", ""},
           {"orvane/r1/cmd/move", R"({"id":"a","ts":"now"})", false, "\"ts\"", "a"},
           {"orvane/r1/cmd/move", R"({"id":"a",)" + ts + R"(,"goals":[[1,151]],"ms":5})", false, "goals", "a"},
           {"orvane/r1/cmd/move", "[1]", false, "JSON object", ""},
           {"orvane/r2/cmd/move", R"({"id":"a",)" + ts + R"(,"goals":[[1,2]],"ms":5})", false, "not a command for r1", ""},
           {"orvane/r1/cmd/poweroff", R"({"id":"a",)" + ts + R"(,"confirm":true})", false, "--allow-poweroff", "a"},
           {"orvane/r1/cmd/jump", R"({"id":"a",)" + ts + "}", false, "unknown command", "a"},
           {"orvane/r1/cmd/exit", R"({"id":"a",)" + ts + R"(,"confirm":true})", false, nullptr, "a"},
           {"orvane/r1/cmd/identify", R"({"id":"i",)" + ts + R"(,"s":2})", false, nullptr, "i"},
           {"orvane/r1/cmd/identify", R"({"id":"i",)" + ts + R"(,"s":60})", false, "1 to 30", "i"},
           {"orvane/r1/cmd/identify", R"({"id":"i",)" + ts + R"(,"s":"x"})", false, "1 to 30", "i"},
           {"orvane/r1/cmd/identify", R"({"id":"i","ts":5})", false, "s old", "i"},
           {"orvane/r1/cmd/stop", "", false, nullptr, ""},            // a stop is always taken
           {"orvane/r1/cmd/stop", R"({"id":"s","ts":5})", true, nullptr, "s"},
           {"orvane/all/cmd/stop", "", true, nullptr, ""},
           // A stop takes any body: text, a list, one nested past any stack, one too long.
           {"orvane/r1/cmd/stop", "stop", false, nullptr, ""},
           {"orvane/r1/cmd/stop", "[1]", false, nullptr, ""},
           {"orvane/r1/cmd/stop", deep, false, nullptr, ""},
           {"orvane/all/cmd/stop", deep, false, nullptr, ""},
           {"orvane/r1/cmd/stop", R"({"id":"s","x":")" + std::string(20000, 'x') + R"("})", false, nullptr, ""},
           // Other commands: bounded before anything walks them.
           {"orvane/r1/cmd/move", deep.substr(95000, 10000), false, "nested deeper than 8", ""},
           {"orvane/r1/cmd/move", deep, false, "more than 16384 bytes", ""},
           {"orvane/r1/cmd/move", R"({"id":"a",)" + ts + R"(,"x":)" + std::string(9, '[') + std::string(9, ']') + "}",
            false, "nested deeper than 8", ""},
           {"orvane/r1/cmd/move", R"({"id":"a",)" + ts + R"(,"x":")" + std::string(20000, 'x') + R"("})", false,
            "more than 16384 bytes", ""},
           // A "ts" far from any clock is refused without converting it to a count of seconds.
           {"orvane/r1/cmd/move", R"({"id":"a","ts":1e300,"goals":[[1,2]],"ms":5})", false, "not a time near now", "a"},
           {"orvane/r1/cmd/move", R"({"id":"a","ts":-1e300,"goals":[[1,2]],"ms":5})", false, "not a time near now", "a"},
       }) {
    SCOPED_TRACE(r.topic + " " + r.payload.substr(0, 80));
    auto v = mq_check({r.topic, r.payload, r.retained}, "r1", now, 5, false);
    if (r.error == nullptr) {
      ASSERT_TRUE(std::holds_alternative<mq_accepted>(v)) << std::get<mq_refused>(v).why;
      EXPECT_EQ(std::get<mq_accepted>(v).request, r.request);
    } else {
      ASSERT_TRUE(std::holds_alternative<mq_refused>(v));
      EXPECT_NE(std::get<mq_refused>(v).why.find(r.error), std::string::npos) << std::get<mq_refused>(v).why;
      EXPECT_EQ(std::get<mq_refused>(v).request, r.request);
    }
  }
  auto p = mq_check({"orvane/r1/cmd/poweroff", R"({"id":"a",)" + ts + R"(,"confirm":true})", false},
                    "r1", now, 5, true);
  EXPECT_EQ(std::get<mq_accepted>(p).cmd.what, web_command::poweroff);
  for (auto [body, ms] : std::vector<std::pair<std::string, int>>{{R"(,"s":2})", 2000}, {"}", mq_identify_ms}}) {
    std::string msg = R"({"id":"i",)" + ts;
    msg += body;
    auto i = mq_check({"orvane/r1/cmd/identify", msg, false}, "r1", now, 5, false);
    EXPECT_EQ(std::get<mq_accepted>(i).identify_ms, ms) << body;
  }
}

// What a state says the robot plays: a page opened late reads it there.
TEST(MqttTopics, TheStateCarriesTheMotionInPlayAndHowItEnded)
{
  struct row {
    web_play play;
    const char* json;
  };
  for (const row& r : std::vector<row>{
           {{}, "null"},
           {{"wave.yaml", true, 3, 5, {}, "", 0}, R"({"name":"wave.yaml","progress":0.4,"state":"playing"})"},
           {{"wave.yaml", true, 0, 0, {}, "", 0}, R"({"name":"wave.yaml","progress":0.0,"state":"playing"})"},
           {{"wave.yaml", false, 5, 5, {}, "done", 0}, R"({"name":"wave.yaml","state":"finished"})"},
           {{"wave.yaml", false, 2, 5, {}, "stopped", 0}, R"({"name":"wave.yaml","state":"stopped"})"},
           {{"wave.yaml", false, 2, 5, {}, "stopped: broker lost", 0},
            R"({"name":"wave.yaml","state":"stopped","why":"broker lost"})"},
           {{"wave.yaml", false, 2, 5, {}, "servo 3 gives no reading", 0},
            R"({"name":"wave.yaml","state":"failed","why":"servo 3 gives no reading"})"},
       }) {
    EXPECT_EQ(mq_motion_json(r.play).dump(), r.json);
  }
}

TEST(MqttTopics, EventsBetweenTwoStates)
{
  web_state a, b;
  a.connected = b.connected = true;
  auto servo = [](int id, std::optional<int> pos) {
    web_servo s;
    s.id = id;
    s.pos = pos;
    return s;
  };
  a.servos = {servo(1, 10), servo(2, std::nullopt)};
  b.servos = {servo(1, std::nullopt), servo(2, 20)};
  b.sw[3] = true;
  auto ev = mq_state_events(a, b, 42);
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0], R"({"closed":true,"event":"switch","sw_in":3,"t":42})");
  EXPECT_EQ(ev[1], R"({"event":"reading-lost","servo":1,"t":42})");
  EXPECT_EQ(ev[2], R"({"event":"reading-back","servo":2,"t":42})");
  EXPECT_TRUE(mq_state_events(b, b, 42).empty());
}

// docs/fleet.md shows the classroom's broker configuration as the tests run it, word for word.
TEST(MqttDocs, TheGuideHoldsTheTestedBrokerConfiguration)
{
  auto slurp = [](const std::string& p) {
    std::ifstream f(p);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  std::string doc = slurp(ORVANE_DOCS_DIR "/fleet.md");
  for (const char* file : {"orvane.conf", "orvane.acl"}) {
    std::string text = slurp(std::string(ORVANE_CLASSROOM_DIR) + "/" + file);
    ASSERT_FALSE(text.empty()) << file;
    EXPECT_NE(doc.find("```\n" + text + "```"), std::string::npos) << file << " differs in docs/fleet.md";
  }
}

TEST(MqttTopics, DiscoveryPrefixesAndAJointNameQuotedInItsTemplate)
{
  for (auto [prefix, ok] : std::vector<std::pair<std::string, bool>>{
           {"homeassistant", true}, {"ha/discovery", true}, {"A-b_9", true}, {"", false},
           {"/ha", false}, {"ha/", false}, {"ha//x", false}, {"ha/+", false}, {"ha/#", false},
           {"h a", false}, {std::string(65, 'a'), false}})
    EXPECT_EQ(mq_discovery_prefix_ok(prefix), ok) << prefix;
  mq_info i;
  i.id = "r1";
  i.wr_ids = {1, 2};
  i.joints = {{1, "it's"}};
  auto configs = mq_discovery("ha", i);
  ASSERT_EQ(configs.size(), 5u + 2 + 1);
  EXPECT_EQ(configs[5].first, "ha/sensor/r1/servo_1/config");
  EXPECT_NE(configs[5].second.find(R"(value_json.servo['it\\'s'].pos)"), std::string::npos) << configs[5].second;
  EXPECT_NE(configs[6].second.find(R"(value_json.servo['2'].pos)"), std::string::npos) << configs[6].second;
}

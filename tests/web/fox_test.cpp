// The channels, the Foxglove protocol's client side and our MCAP files, without a network: what
// the endpoint refuses and why, what the channels say as a robot and its motions change, and what
// a file cut short still gives. The reference client and reader check the same from outside
// (tests/web/test_ecosystem.py).
#include <gtest/gtest.h>

#include <fstream>
#include <numbers>
#include <nlohmann/json.hpp>

#include "support/temp_dir.h"
#include "host/web/channels.h"
#include "host/web/fox.h"
#include "host/web/mcap.h"

using nlohmann::json;

namespace {

const web_joints arm = {{1, "base", -120, 120, 0, false}, {3, "elbow", -135, 10, 0, true},
                        {4, "wrist", -87.5, 92.5, 2.5, false}};

// The message of a status frame.
std::string status_text(const std::string& frame)
{
  return json::parse(frame)["message"].get<std::string>();
}

std::string slurp(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

web_state state(uint32_t pass, std::optional<int> pos3, web_play play = {})
{
  web_state s;
  s.connected = true;
  s.name = "ZIDIDOVE";
  s.tick_period = 16667;
  s.loop_count = pass;
  web_servo elbow;
  elbow.id = 3;
  elbow.goal = -300;
  elbow.pos = pos3;
  elbow.reading = pos3 ? "valid" : "silent";
  elbow.why = pos3 ? "" : "in read group 0 but silent";
  web_servo two;
  two.id = 2;
  two.reading = "no_group";
  two.why = "in no read group";
  s.servos = {elbow, two};
  s.play = std::move(play);
  return s;
}

}  // namespace

TEST(Mcap, FileCutAtAnyByteGivesEveryWholeRecordBeforeTheCut)
{
  TempDir dir;
  std::string path = dir.file("run.mcap");
  {
    mcap_writer w(path, "test");
    for (const ch_channel& c : ch_channels())
      w.channel(c.id, c.topic, c.schema_name, c.schema);
    w.metadata("orvane", {{"address", "127.0.0.1:6498"}});
    for (uint64_t i = 0; i < 20; i++)
      w.message(ch_joints, 1000 + i, "{\"n\":" + std::to_string(i) + "}");
    w.close();
  }
  std::string bytes = slurp(path);
  mcap_contents whole = mcap_read(bytes);
  ASSERT_TRUE(whole.complete) << whole.problem;
  ASSERT_EQ(whole.messages.size(), 20u);
  EXPECT_EQ(whole.channels.at(ch_joints).topic, "/joint_states");
  EXPECT_EQ(whole.channels.at(ch_joints).schema_name, "foxglove.JointStates");
  EXPECT_EQ(whole.metadata.at(0).second.at("address"), "127.0.0.1:6498");
  EXPECT_EQ(whole.messages[19].data, "{\"n\":19}");
  EXPECT_EQ(whole.messages[19].log_ns, 1019u);

  // Each message record is 9 + 22 + its JSON; the last whole one before a cut is all there is.
  size_t first = bytes.find("{\"n\":0}") + 7;
  size_t before = 0;
  for (size_t cut = 8; cut < bytes.size(); cut++) {
    mcap_contents m = mcap_read(std::string_view(bytes).substr(0, cut));
    ASSERT_FALSE(m.complete) << cut;
    ASSERT_GE(m.messages.size(), before) << cut;
    before = m.messages.size();
    if (cut < first) {
      ASSERT_EQ(m.messages.size(), 0u) << cut;
    }
    for (size_t i = 0; i < m.messages.size(); i++)
      ASSERT_EQ(m.messages[i].data, "{\"n\":" + std::to_string(i) + "}") << cut;
  }
  EXPECT_EQ(before, 20u);
  EXPECT_THROW(mcap_read("MCAP0\r\n garbage"), std::runtime_error);
}

TEST(FoxClient, TakesSubscriptionsAndRefusesAnythingElseWithAStatus)
{
  fox_client c({ch_joints, ch_loop, ch_events}, arm);
  struct row {
    std::string frame;
    std::string said;  // in the status answered; empty: none
  };
  std::string deep = std::string(20, '[') + std::string(20, ']');
  for (const row& r : std::vector<row>{
           {R"({"op":"subscribe","subscriptions":[{"id":7,"channelId":1},{"id":8,"channelId":4}]})", ""},
           {R"({"op":"subscribe","subscriptions":[{"id":7,"channelId":4}]})", "subscription 7 is taken"},
           {R"({"op":"subscribe","subscriptions":[{"id":9,"channelId":2}]})", "no channel 2"},
           {R"({"op":"subscribe","subscriptions":[{"id":-1,"channelId":1}]})", "needs an \"id\""},
           {R"({"op":"subscribe","subscriptions":{}})", "must be a list"},
           {R"({"op":"unsubscribe","subscriptionIds":[42]})", "no subscription 42"},
           {R"({"op":"getParameters","parameterNames":[]})", "\"getParameters\" is not supported"},
           {R"({"op":"advertise","channels":[{"id":1,"topic":"/cmd/jump","encoding":"json"}]})", "not taken here"},
           {R"({"op":"advertise","channels":[{"id":1,"topic":"/cmd/move","encoding":"cdr"}]})", "takes json"},
           {R"([1,2])", "an \"op\""},
           {"not json", "not JSON"},
           {"{\"op\":" + deep + "}", "deeper"},
       }) {
    SCOPED_TRACE(r.frame);
    fox_client::result res = c.on_text(r.frame);
    EXPECT_FALSE(res.command);
    if (r.said.empty()) {
      EXPECT_TRUE(res.replies.empty());
    } else {
      ASSERT_EQ(res.replies.size(), 1u);
      EXPECT_NE(status_text(res.replies[0]).find(r.said), std::string::npos) << res.replies[0];
    }
  }
  EXPECT_EQ(c.subscriptions(ch_joints), std::vector<uint32_t>{7});
  EXPECT_EQ(c.subscriptions(ch_loop), std::vector<uint32_t>{8});
  EXPECT_TRUE(c.on_text(R"({"op":"unsubscribe","subscriptionIds":[7]})").replies.empty());
  EXPECT_FALSE(c.wants(ch_joints));

  std::array<char, 13> h = fox_message_head(0x01020304, 0x1122334455667788);
  EXPECT_EQ(std::string(h.data(), h.size()),
            std::string("\x01\x04\x03\x02\x01\x88\x77\x66\x55\x44\x33\x22\x11", 13));
  EXPECT_TRUE(fox_offered("json, foxglove.websocket.v1"));
  EXPECT_FALSE(fox_offered("foxglove.websocket.v2"));
}

TEST(FoxClient, PublishedMovesNameJointsInJointDegreesAndStopsNeedNoBody)
{
  fox_client c({ch_joints}, arm);
  ASSERT_TRUE(c.on_text(R"({"op":"advertise","channels":[{"id":5,"topic":"/cmd/move","encoding":"json"},)"
                        R"({"id":6,"topic":"/cmd/stop","encoding":"json"}]})")
                  .replies.empty());
  auto frame = [](uint32_t ch, const std::string& body) {
    std::string f = "\x01";
    for (int i = 0; i < 4; i++)
      f += static_cast<char>((ch >> (8 * i)) & 0xff);
    return f + body;
  };
  struct row {
    std::string frame;
    std::vector<std::pair<int, double>> goals;  // the move in servo degrees, if taken
    std::string said;
  };
  for (const row& r : std::vector<row>{
           {frame(5, R"({"goals":{"elbow":30,"wrist":10,"2":-5},"ms":500})"), {{2, -5}, {3, -30}, {4, 12.5}}, ""},
           {frame(5, R"({"goals":{"knee":1},"ms":500})"), {}, "no joint named \"knee\""},
           {frame(5, R"({"goals":{"3":1},"ms":500})"), {}, "no joint named \"3\""},  // servo 3 is the elbow
           {frame(5, R"({"goals":{"base":200},"ms":500})"), {}, "beyond its servo's range"},
           {frame(5, R"({"goals":{"base":"up"},"ms":500})"), {}, "needs a number"},
           {frame(5, R"({"goals":{"base":1},"ms":20000})"), {}, "\"ms\""},
           {frame(5, R"({"goals":{},"ms":5})"), {}, "\"goals\""},
           {frame(9, "{}"), {}, "not advertised"},
           {std::string("\x02\x05\x00\x00\x00{}", 7), {}, "opcode 1"},
           {"\x01\x05", {}, "opcode 1"},
       }) {
    SCOPED_TRACE(r.frame.substr(std::min<size_t>(5, r.frame.size())));
    fox_client::result res = c.on_binary(r.frame);
    if (r.said.empty()) {
      ASSERT_TRUE(res.command);
      EXPECT_EQ(res.command->what, web_command::move);
      EXPECT_EQ(res.command->ms, 500);
      EXPECT_EQ(res.command->goals, r.goals);
    } else {
      EXPECT_FALSE(res.command);
      ASSERT_EQ(res.replies.size(), 1u);
      EXPECT_NE(status_text(res.replies[0]).find(r.said), std::string::npos) << res.replies[0];
    }
  }
  fox_client::result stop = c.on_binary(frame(6, "\xff not even JSON"));
  ASSERT_TRUE(stop.command);
  EXPECT_EQ(stop.command->what, web_command::stop);
}

TEST(Channels, EventsFollowTheRobotAndItsMotionsAndVelocityNeedsTwoReadings)
{
  ch_builder b(arm);
  auto said = [&b] {
    std::vector<std::pair<int, std::string>> v;
    for (const std::string& e : b.events()) {
      json j = json::parse(e);
      v.emplace_back(j["level"].get<int>(), j["message"].get<std::string>());
    }
    return v;
  };
  using events = std::vector<std::pair<int, std::string>>;
  web_play wave{"wave.yaml", true, 1, 4, {"servo 3 has no torque"}, "", 1};
  web_play done = wave, stopped = wave, failed = wave;
  done.playing = stopped.playing = failed.playing = false;
  done.outcome = "done", stopped.outcome = "stopped", failed.outcome = "robot gone";

  b.update(state(100, 100), 0, 5);
  EXPECT_EQ(said(), (events{{ch_info, "connected to ZIDIDOVE"}}));
  json j = json::parse(b.message(ch_joints));
  json elbow = j["joints"][0];
  EXPECT_EQ(elbow["name"], "elbow");
  EXPECT_EQ(elbow["degrees"], -10.0);  // mirrored: servo +10 is joint -10
  EXPECT_EQ(elbow["goal_degrees"], 30.0);
  EXPECT_FALSE(elbow.contains("velocity"));  // one reading is no speed
  EXPECT_EQ(j["joints"][1]["name"], "servo2");
  EXPECT_FALSE(j["joints"][1].contains("position"));
  EXPECT_EQ(j["joints"][1]["why"], "in no read group");
  EXPECT_EQ(j["timestamp"], (json{{"sec", 0}, {"nsec", 5}}));

  b.update(state(110, 200, wave), 0, 6);  // servo +10 degrees in 10 passes of 16667 us
  EXPECT_EQ(said(), (events{{ch_info, "motion wave.yaml started"},
                            {ch_warning, "motion wave.yaml: servo 3 has no torque"}}));
  EXPECT_NEAR(json::parse(b.message(ch_joints))["joints"][0]["velocity"].get<double>(), -60.0 * std::numbers::pi / 180, 1e-3);
  b.update(state(111, std::nullopt, wave), 0, 7);  // silent: no position, no speed
  EXPECT_FALSE(json::parse(b.message(ch_joints))["joints"][0].contains("velocity"));
  EXPECT_TRUE(said().empty());

  for (const auto& [end, want] : std::vector<std::pair<web_play, std::pair<int, std::string>>>{
           {done, {ch_info, "motion wave.yaml done"}},
           {stopped, {ch_warning, "motion wave.yaml stopped"}},
           {failed, {ch_error, "motion wave.yaml failed: robot gone"}}}) {
    b.update(state(120, 200, wave), 0, 8);
    b.update(state(121, 200, end), 0, 9);
    EXPECT_EQ(said(), events{want});
  }
  web_state lost = state(121, 200);
  lost.connected = false;
  lost.problem = "connection refused";
  b.update(lost, 0, 10);
  EXPECT_EQ(said(), (events{{ch_error, "robot not reached: connection refused"}}));
  EXPECT_EQ(b.message(ch_joints), "");  // old values are not sent as new
  EXPECT_EQ(json::parse(b.message(ch_loop))["connected"], false);
  EXPECT_EQ(b.message(ch_description), "");
}

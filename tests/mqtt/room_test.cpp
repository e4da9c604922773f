// The classroom view's picture of the broker, from the messages the bridges publish.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/mqtt/room.h"

using nlohmann::json;

TEST(MqttRoom, TakesStatusInfoAndStateOfEachRobotAndIgnoresTheRest)
{
  const std::string state =
      R"({"sw_in":[0,0,1,0,0],"rate":59.9,"servo":{"elbow":{"id":3,"pos":null},"base":{"id":1,"pos":298}}})";
  struct row {
    const char* topic;
    std::string payload;
    const char* expect;  // the room's robots afterwards, as "id:status:name:rate:sw:servos"
  };
  mq_room room;
  room.link(true, "");
  for (const row& r : std::vector<row>{
           {"orvane/r1/status", "online", "r1:online::-::"},
           {"orvane/r1/info", R"({"robot_name":"ZIDIDOVE"})", "r1:online:ZIDIDOVE:-::"},
           {"orvane/r1/state", state, "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null"},
           {"orvane/r2/status", "robot-lost", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           // Not a robot's, not a known status, not JSON, not an object: nothing changes.
           {"orvane/all/status", "online", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           {"orvane/R+/status", "online", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           {"orvane/r1/status", "dancing", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           {"orvane/r1/state", "{nope", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           {"orvane/r1/state", "[1]", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           {"orvane/r1/event", "{}", "r1:online:ZIDIDOVE:59.9:00100:1=298,3=null r2:robot-lost::-::"},
           // Fields of the wrong type are left out, not trusted.
           {"orvane/r1/state", R"({"rate":"x","sw_in":[1,"a"],"servo":{"a":{"id":"1"},"b":{"id":2,"pos":5}}})",
            "r1:online:ZIDIDOVE:-:10:2=5 r2:robot-lost::-::"},
           // Entries without an id or a position, ids no servo has, positions beyond the map's
           // word, and a body nested past any stack.
           {"orvane/r1/state", R"({"rate":null,"sw_in":[1,0,0,0,0,1,1],"servo":{"a":{"pos":5},"b":{"id":2},)"
                               R"("c":{"id":99,"pos":1},"d":{"id":3,"pos":70000},"e":{"id":4,"pos":-12}}})",
            "r1:online:ZIDIDOVE:-:10000:2=null,3=null,4=-12 r2:robot-lost::-::"},
           {"orvane/r1/state", std::string(100000, '[') + std::string(100000, ']'),
            "r1:online:ZIDIDOVE:-:10000:2=null,3=null,4=-12 r2:robot-lost::-::"},
           {"orvane/r1/state", R"({"servo":{"a":{"id":18446744073709551615,"pos":1}},"rate":59.5})",
            "r1:online:ZIDIDOVE:59.5:: r2:robot-lost::-::"},
           {"orvane/r1/state", R"({"rate":"x","sw_in":[1,"a"],"servo":{"a":{"id":"1"},"b":{"id":2,"pos":5}}})",
            "r1:online:ZIDIDOVE:-:10:2=5 r2:robot-lost::-::"},
           {"orvane/r1/status", "offline", "r1:offline:ZIDIDOVE:-:10:2=5 r2:robot-lost::-::"},
           // An empty retained status takes a robot off.
           {"orvane/r2/status", "", "r1:offline:ZIDIDOVE:-:10:2=5"},
       }) {
    SCOPED_TRACE(std::string(r.topic) + " " + r.payload.substr(0, 80));
    room.take({r.topic, r.payload, false}, 1000);
    json j = json::parse(room.page_json(1500));
    std::string got;
    for (const json& x : j["robots"]) {
      std::string sw, servos;
      for (const json& v : x["sw_in"])
        sw += std::to_string(v.get<int>());
      for (const json& v : x["servos"])
        servos += (servos.empty() ? "" : ",") + std::to_string(v["id"].get<int>()) + "=" + v["pos"].dump();
      std::string rate = x["rate"].is_null() ? "-" : x["rate"].dump();
      std::initializer_list<std::string> parts = {
          got.empty() ? "" : " ", x["id"].get<std::string>(), ":", x["status"].get<std::string>(), ":",
          x["name"].get<std::string>(), ":", rate, ":", sw, ":", servos};
      for (const std::string& part : parts)
        got += part;
      if (!servos.empty()) {
        EXPECT_EQ(x["age"], 500);
      }
    }
    EXPECT_EQ(got, r.expect);
  }
  // A card shows a joint's degrees next to its name, and why a servo has no reading; an older
  // bridge that sends no degrees has its servo's shown.
  room.take({"orvane/r3/state",
             R"({"servo":{"elbow":{"id":3,"pos":300,"deg":-30.0},"twist":{"id":5,"pos":null,"deg":null,)"
             R"("why":"not in a read group"},"base":{"id":1,"pos":125}}})",
             false},
            1000);
  json cards = json::parse(room.page_json(1000))["robots"];
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[1]["servos"], json::parse(R"([{"key":"base","id":1,"pos":125,"deg":12.5,"why":""},)"
                                            R"({"key":"elbow","id":3,"pos":300,"deg":-30.0,"why":""},)"
                                            R"({"key":"twist","id":5,"pos":null,"deg":null,"why":"not in a read group"}])"));
}

TEST(MqttRoom, KeepsAtMostItsLimitAndAFreshLinkDropsOnlyWhoIsNotHeardAgain)
{
  mq_room room;
  room.link(true, "");
  for (size_t i = 0; i < mq_room::max_robots + 10; i++)
    room.take({"orvane/r" + std::to_string(i) + "/status", "online", true}, 0);
  EXPECT_EQ(json::parse(room.page_json(0))["robots"].size(), mq_room::max_robots);
  EXPECT_TRUE(room.changed());
  EXPECT_FALSE(room.changed());
  room.link(false, "connection lost");
  json j = json::parse(room.page_json(0));
  EXPECT_EQ(j["broker"], json({{"up", false}, {"problem", "connection lost"}}));
  EXPECT_EQ(j["robots"].size(), mq_room::max_robots);  // still shown, greyed, while it is away
  room.link(true, "", 1000);
  room.take({"orvane/r0/status", "online", true}, 1100);
  json back = json::parse(room.page_json(2000));
  ASSERT_EQ(back["robots"].size(), mq_room::max_robots);  // the others greyed until heard
  EXPECT_EQ(back["robots"][0]["heard"], true);
  EXPECT_EQ(back["robots"][1]["heard"], false);
  EXPECT_EQ(json::parse(room.page_json(1000 + mq_room::regrace_ms + 1))["robots"].size(), 1u);
}

// A broker that shuts down sends every bridge's will on its way out: a status that turned
// "offline" just before the view's link went is taken back, one from long before is kept.
TEST(MqttRoom, ALostBrokerLeavesEachRobotAsLastHeardNotOffline)
{
  mq_room room;
  room.link(true, "", 0);
  for (auto [id, status, at] : std::vector<std::tuple<std::string, std::string, int64_t>>{
           {"r1", "online", 100}, {"r2", "online", 100}, {"r3", "robot-lost", 100},
           {"r2", "offline", 1000}, {"r1", "offline", 9500}, {"r3", "offline", 9600}})
    room.take({"orvane/" + id + "/status", status, false}, at);
  room.link(false, "the broker closed the connection", 10000);
  std::string got;
  json page = json::parse(room.page_json(10000));
  for (const json& r : page["robots"])
    got += r["id"].get<std::string>() + "=" + r["status"].get<std::string>() + " ";
  EXPECT_EQ(got, "r1=online r2=offline r3=robot-lost ");
}

// The state's motion, what a bridge offers, and the answers to this view's own commands, each
// checked before it is shown.
TEST(MqttRoom, ShowsWhatEachRobotPlaysOffersAndRefused)
{
  mq_room room;
  room.link(true, "", 0);
  struct row {
    const char* topic;
    std::string payload;
    const char* field;
    const char* expect;  // the robot's field afterwards, as JSON
  };
  for (const row& r : std::vector<row>{
           {"orvane/r1/info", R"({"motions":["wave.yaml",7,"sweep.yaml"]})", "motions", R"(["wave.yaml","sweep.yaml"])"},
           {"orvane/r1/state", R"({"motion":{"name":"wave.yaml","state":"playing","progress":0.4}})", "motion",
            R"({"name":"wave.yaml","progress":0.4,"state":"playing"})"},
           {"orvane/r1/state", R"({"motion":{"name":"wave.yaml","state":"stopped","why":"broker lost"}})", "motion",
            R"({"name":"wave.yaml","state":"stopped","why":"broker lost"})"},
           {"orvane/r1/state", R"({"motion":{"name":"wave.yaml","state":"dancing"}})", "motion", "null"},
           {"orvane/r1/state", R"({"motion":{"name":"w","state":"playing","progress":7}})", "motion",
            R"({"name":"w","state":"playing"})"},
           {"orvane/r1/reply", R"({"id":"web-3","ok":false,"error":"a motion is playing"})", "note", R"("a motion is playing")"},
           {"orvane/r1/reply", R"({"id":"someone-else","ok":false,"error":"x"})", "note", R"("a motion is playing")"},
           {"orvane/r1/reply", R"({"id":"web-4","ok":true})", "note", R"("")"},
       }) {
    SCOPED_TRACE(std::string(r.topic) + " " + r.payload);
    room.take({r.topic, r.payload, false}, 10);
    EXPECT_EQ(json::parse(room.page_json(10))["robots"][0][r.field].dump(), r.expect);
  }
}

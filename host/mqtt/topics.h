// What orvane-mqtt says on the broker and what it takes from it: the bridge's id, its topics, the
// check of an incoming command, and every message it publishes as JSON. Pure functions on values;
// no state, no I/O, callable from any thread (the MQTT library's thread checks commands, the
// bridge's thread builds the rest).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/web/command.h"
#include "host/web/state.h"

constexpr double mq_max_age_s = 5;  // default: a command older (or newer) than this is refused
constexpr size_t mq_max_command = size_t{16} * 1024;  // longest command body read
constexpr size_t mq_max_state = size_t{64} * 1024;    // longest state message the view reads

// Whether `id` may name a bridge: 1..32 of a-z, 0-9, '_' and '-' (no MQTT wildcard or level).
bool mq_id_ok(std::string_view id);
// The default id: the robot's name lower-cased, anything else in it dropped ("" if none left).
std::string mq_id_from_name(std::string_view name);

// "orvane/ID/status" and the like; what is "cmd/VERB" for a command.
std::string mq_topic(std::string_view id, std::string_view what);
constexpr const char* mq_stop_all = "orvane/all/cmd/stop";

// A command as it came off the broker.
struct mq_incoming {
  std::string topic, payload;
  bool retained = false;
  std::vector<std::pair<std::string, std::string>> props{};  // its MQTT 5 user properties
};

constexpr int mq_identify_ms = 5000;  // how long `identify` blinks the LED boards by default

struct mq_accepted {
  std::string request;  // the sender's request id ("" for a class-wide stop)
  web_command cmd;
  int identify_ms = 0;  // identify: blink the LED boards this long, then put them back
};
struct mq_refused {
  std::string request;  // as far as it could be read
  std::string why;
};

// Checks a command completely before anything is sent: the topic is this bridge's (or the
// class-wide stop), its body is a JSON object within mq_max_command bytes and nested no deeper
// than 8, it is neither retained nor older or newer than `max_age_s` by its "ts" (seconds since
// the epoch), it has a request "id", and its body passes orvane-web's command check with the
// topic's verb. `poweroff` needs `allow_poweroff`. A stop only ever stops, so it takes any body,
// and neither its age nor its being retained is held against it; it is answered when its body
// names an id. An empty message (what clears a retained one) is refused with an empty reason:
// it gets no reply.
std::variant<mq_accepted, mq_refused> mq_check(const mq_incoming& m, std::string_view id,
                                               double now_s, double max_age_s,
                                               bool allow_poweroff);

// {"id":"r1","ok":true} or {"id":"r1","ok":false,"error":"..."}
std::string mq_reply(std::string_view request, const std::string& error = "");

// The retained description of the robot.
struct mq_info {
  std::string id, name, banner, version;
  std::vector<int> wr_ids;
  std::vector<std::vector<uint8_t>> rd_groups;  // each: enable, count, ids
  std::map<int, std::string> joints;            // servo id -> joint name, from a profile
  std::vector<std::string> motions;             // what `play` may name
};
std::string mq_info_json(const mq_info& i);

// A servo's key in state messages: its joint name from the profile, else its id.
std::string mq_servo_key(int sid, const std::map<int, std::string>& joints);

// A state message: switches, per servo goal/position/torque under its joint name (its id without
// a profile), in 0.1 servo degrees (goal, pos) and in its joint's degrees (goal_deg, deg; the
// servo's without a joint), with why a position is null, LEDs, loop count and measured loop rate. `content` leaves out what changes on its
// own (loop_count, rate, t), to tell whether there is anything new to say.
std::string mq_state_json(const web_state& s, const std::map<int, std::string>& joints,
                          double rate, int64_t t_ms);
std::string mq_state_content(const web_state& s, const std::map<int, std::string>& joints);
// The state's "motion": null before any, else its name and state (playing with its progress
// 0..1, finished, stopped or failed with why). An outcome "stopped: WHY" is a stop with a why.
nlohmann::json mq_motion_json(const web_play& p);

// The events between two states of one robot, one JSON message each: switch changes and a
// servo's readings lost or back. The motion and connection events are made by mq_event.
std::vector<std::string> mq_state_events(const web_state& before, const web_state& after,
                                         int64_t t_ms);
std::string mq_event(std::string_view what, int64_t t_ms,
                     const std::vector<std::pair<std::string, std::string>>& fields = {});

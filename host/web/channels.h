// The robot as channels of JSON messages, each with its JSON Schema: what orvane-web's Foxglove
// endpoint streams and what orvane-ctl's MCAP recordings hold, made by one builder so that both
// carry the same topics, schemas and fields. The channel table is built once and read by any
// thread; a ch_builder belongs to one thread (the web server's, or the recorder's).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/web/joints.h"
#include "host/web/state.h"

// Taken from npm's @foxglove/schemas at build time (schemas/emit.js).
extern const char* const ch_schema_joint_states;
extern const char* const ch_schema_frame_transforms;
extern const char* const ch_schema_log;

enum ch_id : uint16_t {
  ch_joints = 1,   // /joint_states: foxglove.JointStates, with each joint's servo, goal and reading
  ch_switches,     // /switches
  ch_leds,         // /leds
  ch_loop,         // /loop: the control loop's rate, its tick, passes it fell behind
  ch_events,       // /events: foxglove.Log; robot connected or lost, motion started or ended
  ch_plan,         // /motion/plan: the planned curve of the motion that plays
  ch_description,  // /robot_description: the robot's URDF
  ch_transforms,   // /tf: foxglove.FrameTransforms, where each link of the URDF is
};

struct ch_channel {
  ch_id id;
  std::string topic, schema_name, schema;  // messages in "json", schemas in "jsonschema"
};

// Every channel, in id order.
const std::vector<ch_channel>& ch_channels();
const ch_channel* ch_find(uint16_t id);

// A link's place in its parent's frame, for /tf.
struct ch_pose {
  std::string parent, child;
  std::array<double, 3> xyz{};
  std::array<double, 4> quat{0, 0, 0, 1};  // x, y, z, w
};
// The link poses a URDF implies for joint positions (joint name, joint degrees as the profile
// has them: the description knows which joints turn and which slide).
using ch_kinematics = std::function<std::vector<ch_pose>(const std::vector<std::pair<std::string, double>>&)>;

// Log levels of foxglove.Log that events use.
enum ch_level { ch_info = 2, ch_warning = 3, ch_error = 4 };

class ch_builder {
 public:
  explicit ch_builder(web_joints joints = {});

  // The robot's description and how its links follow the joints; /robot_description and /tf
  // carry messages only once these are given.
  void set_description(std::string urdf, ch_kinematics links);
  bool has_description() const { return !urdf_.empty(); }
  bool has_transforms() const { return static_cast<bool>(links_); }

  // Takes a state read at `t_ns` (ns since the epoch) with the measured pass rate: what the next
  // messages carry, and the events since the state before.
  void update(const web_state& s, double rate, int64_t t_ns);
  // The message of a channel for the newest state; empty when it has none (before the first
  // state, the robot not connected, no description, no plan).
  std::string message(ch_id id) const;
  // foxglove.Log messages of what the last update changed.
  const std::vector<std::string>& events() const { return events_; }
  // A foxglove.Log message of one's own (the recorder's, the endpoint's).
  std::string event(ch_level level, const std::string& text, int64_t t_ns) const;
  // The planned curve (web_plan_json) with its motion's name, as /motion/plan carries it.
  static std::string plan_message(const std::string& plan_json, const std::string& motion, int64_t t_ns);
  int64_t time_ns() const { return t_ns_; }

 private:
  std::string joints_message() const;
  std::string transforms_message() const;

  web_joints joints_;
  std::string urdf_;
  ch_kinematics links_;
  std::optional<web_state> s_;
  double rate_ = 0;
  int64_t t_ns_ = 0;
  struct seen {
    uint32_t pass = 0;
    double deg = 0;  // joint degrees
  };
  std::array<std::optional<seen>, 33> last_;         // the last current reading of each servo id
  std::array<std::optional<double>, 33> velocity_;   // joint degrees a second, where known
  std::vector<std::string> events_;
};

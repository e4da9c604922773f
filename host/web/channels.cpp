#include "host/web/channels.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

// A schema of our own: an object with these properties, all of them required.
json object_schema(const char* title, const char* description, json props)
{
  json required = json::array();
  for (auto& [k, v] : props.items())
    required.push_back(k);
  return {{"title", title}, {"description", description}, {"type", "object"},
          {"properties", std::move(props)}, {"required", std::move(required)}};
}

const json time_schema = {{"type", "object"},
                          {"title", "time"},
                          {"properties", {{"sec", {{"type", "integer"}, {"minimum", 0}}},
                                          {"nsec", {{"type", "integer"}, {"minimum", 0}, {"maximum", 999999999}}}}}};

// foxglove.JointStates with what a robot builder needs beside the radians: the servo, degrees,
// the goal and why a joint has no current position. Every message still matches the original.
json joint_states_schema()
{
  json s = json::parse(ch_schema_joint_states);
  json& item = s["properties"]["joints"]["items"]["properties"];
  auto num = [](const char* d) { return json{{"type", "number"}, {"description", d}}; };
  item["servo"] = {{"type", "integer"}, {"description", "Servo id, 1..32"}};
  item["degrees"] = num("Joint position in degrees; left out, as position is, without a current reading");
  item["servo_position"] = num("The servo's own position in degrees, before trim and direction");
  item["servo_goal"] = num("The servo's own goal in degrees");
  item["goal"] = num("Goal of the joint in radians: where the daemon's interpolator sends it now");
  item["goal_degrees"] = num("Goal of the joint in degrees");
  item["torque"] = {{"type", "integer"}, {"description", "The servo's maximum torque, 0..255; 0 is limp"}};
  item["moving"] = {{"type", "integer"}, {"description", "Ticks left in the move of its goal"}};
  item["reading"] = {{"type", "string"},
                     {"description", "valid, or why the position is left out: no_group, silent, behind"}};
  item["why"] = {{"type", "string"}, {"description", "The same for a person; empty when valid"}};
  s["properties"]["loop_count"] = {{"type", "integer"}, {"description", "The control loop's pass count when read"}};
  return s;
}

std::vector<ch_channel> make_channels()
{
  json loop_props = {
      {"timestamp", time_schema},
      {"connected", {{"type", "boolean"}, {"description", "Whether the host reaches the robot"}}},
      {"problem", {{"type", "string"}, {"description", "Why not, when not"}}},
      {"robot", {{"type", "string"}, {"description", "The robot's name in its map"}}},
      {"loop_count", {{"type", "integer"}, {"description", "Control-loop passes, wrapping at 2^32"}}},
      {"rate_hz", {{"type", "number"}, {"description", "Passes a second, measured over about a second"}}},
      {"tick_period_us", {{"type", "integer"}, {"description", "The tick period in the map"}}},
      {"nominal_hz", {{"type", "number"}, {"description", "Passes a second the tick asks for"}}},
      {"behind_hz", {{"type", "number"},
                     {"description", "Ticks a second that found the loop late and shared a pass (nominal less measured)"}}}};
  json plan_joint = object_schema(
      "orvane.PlannedJoint", "One servo's planned curve",
      {{"id", {{"type", "integer"}, {"description", "Servo id"}}},
       {"v", {{"type", "array"}, {"items", {{"type", "number"}}},
              {"description", "Servo degrees every `every` ticks from tick 0, the last tick included"}}},
       {"keys", {{"type", "array"},
                 {"items", {{"type", "array"}, {"items", {{"type", "number"}}}}},
                 {"description", "Keyframes as [tick, servo degrees]"}}}});
  std::vector<ch_channel> v;
  auto add = [&v](ch_id id, const char* topic, std::string name, const json& schema) {
    v.push_back({id, topic, std::move(name), schema.dump()});
  };
  add(ch_joints, "/joint_states", "foxglove.JointStates", joint_states_schema());
  add(ch_switches, "/switches", "orvane.Switches",
      object_schema("orvane.Switches", "The five switch inputs",
                    {{"timestamp", time_schema},
                     {"closed", {{"type", "array"}, {"items", {{"type", "boolean"}}},
                                 {"description", "Switches 0..4 (GPIO 22, 23, 24, 25, 4): true when closed"}}}}));
  add(ch_leds, "/leds", "orvane.Leds",
      object_schema("orvane.Leds", "The bytes of both LED boards",
                    {{"timestamp", time_schema},
                     {"on", {{"type", "boolean"}, {"description", "Whether the boards are refreshed"}}},
                     {"a", {{"type", "array"}, {"items", {{"type", "integer"}}}, {"description", "Board A, 0..7"}}},
                     {"b", {{"type", "array"}, {"items", {{"type", "integer"}}}, {"description", "Board B, 0..7"}}}}));
  add(ch_loop, "/loop", "orvane.Loop", object_schema("orvane.Loop", "The control loop and the link to it", loop_props));
  add(ch_events, "/events", "foxglove.Log", json::parse(ch_schema_log));
  add(ch_plan, "/motion/plan", "orvane.MotionPlan",
      object_schema("orvane.MotionPlan", "The motion library's plan of the motion that starts playing",
                    {{"timestamp", time_schema},
                     {"motion", {{"type", "string"}, {"description", "The motion file"}}},
                     {"first_pass", {{"type", "integer"}, {"description", "loop_count that tick 0 stands for"}}},
                     {"tick_period", {{"type", "integer"}, {"description", "Microseconds a tick"}}},
                     {"ticks", {{"type", "integer"}, {"description", "Ticks of the whole plan"}}},
                     {"every", {{"type", "integer"}, {"description", "Ticks between samples of v"}}},
                     {"joints", {{"type", "array"}, {"items", plan_joint}}}}));
  add(ch_description, "/robot_description", "std_msgs/String",
      object_schema("std_msgs/String", "The robot's URDF",
                    {{"data", {{"type", "string"}, {"description", "URDF, XML"}}}}));
  add(ch_transforms, "/tf", "foxglove.FrameTransforms", json::parse(ch_schema_frame_transforms));
  return v;
}

json stamp(int64_t t_ns)
{
  int64_t t = std::max<int64_t>(t_ns, 0);
  return {{"sec", t / 1000000000}, {"nsec", t % 1000000000}};
}

double round_to(double v, double step)
{
  return std::round(v / step) * step;
}

double rad(double deg)
{
  return round_to(deg * std::numbers::pi / 180.0, 1e-5);
}

std::string text(const json& j)
{
  // Names from the robot's map or a profile may hold invalid UTF-8: replaced, never thrown.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string joint_name(const web_joint* j, int id)
{
  return j ? j->name : "servo" + std::to_string(id);
}

}  // namespace

const std::vector<ch_channel>& ch_channels()
{
  static const std::vector<ch_channel> all = make_channels();
  return all;
}

const ch_channel* ch_find(uint16_t id)
{
  for (const ch_channel& c : ch_channels())
    if (c.id == id)
      return &c;
  return nullptr;
}

ch_builder::ch_builder(web_joints joints) : joints_(std::move(joints)) {}

void ch_builder::set_description(std::string urdf, ch_kinematics links)
{
  urdf_ = std::move(urdf);
  links_ = std::move(links);
}

void ch_builder::update(const web_state& s, double rate, int64_t t_ns)
{
  events_.clear();
  const web_state* was = s_ ? &*s_ : nullptr;
  t_ns_ = t_ns;
  rate_ = rate;
  if (s.connected && (!was || !was->connected))
    events_.push_back(event(ch_info, "connected to " + s.name, t_ns));
  if (!s.connected && (!was || was->connected))
    events_.push_back(event(ch_error, "robot not reached: " + s.problem, t_ns));
  const web_play& p = s.play;
  bool started = p.playing && (!was || !was->play.playing || was->play.name != p.name);
  if (was && was->play.playing && (!p.playing || p.name != was->play.name)) {
    const std::string& o = p.name == was->play.name ? p.outcome : "stopped";
    const std::string name = "motion " + was->play.name;
    if (o == "done")
      events_.push_back(event(ch_info, name + " done", t_ns));
    else if (o == "stopped")
      events_.push_back(event(ch_warning, name + " stopped", t_ns));
    else
      events_.push_back(event(ch_error, name + " failed: " + o, t_ns));
  }
  if (started) {
    events_.push_back(event(ch_info, "motion " + p.name + " started", t_ns));
    for (const std::string& w : p.warnings)
      events_.push_back(event(ch_warning, "motion " + p.name + ": " + w, t_ns));
  }

  // A velocity from the last two current readings, timed by the daemon's own passes.
  double tick_s = std::max<int32_t>(s.tick_period, 1) * 1e-6;
  velocity_.fill(std::nullopt);
  if (s.connected)
    for (const web_servo& sv : s.servos) {
      if (sv.id < 1 || sv.id > 32)
        continue;
      auto& last = last_[static_cast<size_t>(sv.id)];
      if (!sv.pos || sv.reading != "valid") {
        last.reset();
        continue;
      }
      double deg = web_joint_deg(web_joint_of(joints_, sv.id), *sv.pos / 10.0);
      if (last && s.loop_count != last->pass) {
        uint32_t passes = s.loop_count - last->pass;
        velocity_[static_cast<size_t>(sv.id)] = (deg - last->deg) / (passes * tick_s);
      }
      if (!last || s.loop_count != last->pass)
        last = seen{s.loop_count, deg};
    }
  s_ = s;
}

std::string ch_builder::event(ch_level level, const std::string& msg, int64_t t_ns) const
{
  return text({{"timestamp", stamp(t_ns)}, {"level", static_cast<int>(level)}, {"message", msg},
               {"name", "orvane"}, {"file", ""}, {"line", 0}});
}

std::string ch_builder::plan_message(const std::string& plan_json, const std::string& motion, int64_t t_ns)
{
  json p = json::parse(plan_json, nullptr, false);
  if (p.is_discarded() || !p.is_object())
    return "";
  p.erase("serial");  // the page's handle on it, not the plan's
  p["motion"] = motion;
  p["timestamp"] = stamp(t_ns);
  return text(p);
}

std::string ch_builder::message(ch_id id) const
{
  if (id == ch_description)
    return urdf_.empty() ? "" : text({{"data", urdf_}});
  if (!s_)
    return "";
  const web_state& s = *s_;
  json t = stamp(t_ns_);
  if (id == ch_loop) {
    double nominal = s.tick_period > 0 ? 1e6 / s.tick_period : 0;
    double behind = s.connected && rate_ > 0 ? std::max(0.0, nominal - rate_) : 0;
    return text({{"timestamp", t},
                 {"connected", s.connected},
                 {"problem", s.problem},
                 {"robot", s.name},
                 {"loop_count", s.loop_count},
                 {"rate_hz", round_to(rate_, 0.01)},
                 {"tick_period_us", s.tick_period},
                 {"nominal_hz", round_to(nominal, 0.01)},
                 {"behind_hz", round_to(behind, 0.01)}});
  }
  if (!s.connected)
    return "";  // the last values are old: /loop and /events say why nothing comes
  switch (id) {
    case ch_joints:
      return joints_message();
    case ch_switches:
      return text({{"timestamp", t}, {"closed", s.sw}});
    case ch_leds: {
      std::array<int, 8> a{}, b{};
      std::copy(s.leds.begin(), s.leds.begin() + 8, a.begin());
      std::copy(s.leds.begin() + 8, s.leds.end(), b.begin());
      return text({{"timestamp", t}, {"on", s.led_on}, {"a", a}, {"b", b}});
    }
    case ch_transforms:
      return transforms_message();
    default:
      return "";
  }
}

std::string ch_builder::joints_message() const
{
  const web_state& s = *s_;
  json list = json::array();
  for (const web_servo& sv : s.servos) {
    const web_joint* j = web_joint_of(joints_, sv.id);
    double goal = web_joint_deg(j, sv.goal / 10.0);
    json e = {{"name", joint_name(j, sv.id)},
              {"servo", sv.id},
              {"goal", rad(goal)},
              {"goal_degrees", round_to(goal, 0.01)},
              {"servo_goal", sv.goal / 10.0},
              {"torque", sv.torque},
              {"moving", sv.moving},
              {"reading", sv.reading},
              {"why", sv.why}};
    if (sv.pos && sv.reading == "valid") {
      double deg = web_joint_deg(j, *sv.pos / 10.0);
      e["position"] = rad(deg);
      e["degrees"] = round_to(deg, 0.01);
      e["servo_position"] = *sv.pos / 10.0;
      if (sv.id >= 1 && sv.id <= 32)
        if (const auto& v = velocity_[static_cast<size_t>(sv.id)])
          e["velocity"] = rad(*v);
    }
    list.push_back(std::move(e));
  }
  return text({{"timestamp", stamp(t_ns_)}, {"loop_count", s.loop_count}, {"joints", std::move(list)}});
}

std::string ch_builder::transforms_message() const
{
  if (!links_)
    return "";
  std::vector<std::pair<std::string, double>> angles;
  for (const web_servo& sv : s_->servos) {
    const web_joint* j = web_joint_of(joints_, sv.id);
    // A joint without a current reading is drawn at its goal rather than left behind.
    double deg = sv.pos && sv.reading == "valid" ? *sv.pos / 10.0 : sv.goal / 10.0;
    angles.emplace_back(joint_name(j, sv.id), web_joint_deg(j, deg));
  }
  json list = json::array();
  json t = stamp(t_ns_);
  for (const ch_pose& p : links_(angles))
    list.push_back({{"timestamp", t},
                    {"parent_frame_id", p.parent},
                    {"child_frame_id", p.child},
                    {"translation", {{"x", p.xyz[0]}, {"y", p.xyz[1]}, {"z", p.xyz[2]}}},
                    {"rotation", {{"x", p.quat[0]}, {"y", p.quat[1]}, {"z", p.quat[2]}, {"w", p.quat[3]}}}});
  return text({{"transforms", std::move(list)}});
}

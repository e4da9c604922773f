#include "host/web/command.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <nlohmann/json.hpp>

#include "orvane.h"
#include "orvane_model.h"
#include "host/web/json_in.h"
#include "host/web/motions.h"

using nlohmann::json;

namespace {

constexpr int max_ms = 10000;          // longest move a page may ask for
constexpr int led_count = 16;
constexpr size_t max_name = 255;
constexpr size_t max_joint = 64;       // a joint's name
constexpr double max_joint_deg = 300;  // trim and direction keep any joint within this

// A servo as a request names it: its id 1..32, or a joint's name (the model checks it later).
std::optional<std::string> servo_name(const json& v)
{
  if (v.is_number_integer()) {
    auto n = v.get<int64_t>();
    if (n >= 1 && n <= orvane::servo_max)
      return std::to_string(n);
    return std::nullopt;
  }
  if (v.is_string() && !v.get_ref<const std::string&>().empty() && v.get_ref<const std::string&>().size() <= max_joint)
    return v.get<std::string>();
  return std::nullopt;
}

bool servo_list(const json& v, std::vector<std::string>& out)
{
  if (!v.is_array() || v.size() > orvane::servo_max)
    return false;
  for (const json& x : v) {
    auto n = servo_name(x);
    if (!n)
      return false;
    out.push_back(*n);
  }
  return true;
}
constexpr double max_jog = 180;        // degrees a second: what a page may ask, before joint limits
constexpr int max_robots = 1000;

bool int_in(const json& v, int lo, int hi)
{
  if (!v.is_number_integer())
    return false;
  auto n = v.get<int64_t>();
  return n >= lo && n <= hi;
}

// A list of [a, b] pairs, 1..max long; `ok` checks each pair.
template <class Ok>
bool pairs(const json& v, size_t max, Ok ok)
{
  if (!v.is_array() || v.empty() || v.size() > max)
    return false;
  return std::all_of(v.begin(), v.end(),
                     [&](const json& p) { return p.is_array() && p.size() == 2 && ok(p[0], p[1]); });
}

std::variant<web_command, std::string> parse(const json& j)
{
  if (!j.is_object() || !json_at(j, "op").is_string())
    return std::string("the request needs an \"op\"");
  std::string op = json_at(j, "op").get<std::string>();
  web_command c;
  if (op == "move") {
    c.what = web_command::move;
    bool ok = j.contains("goals") && pairs(json_at(j, "goals"), orvane::servo_max, [](const json& who, const json& deg) {
      if (!servo_name(who) || !deg.is_number() || !std::isfinite(deg.get<double>()))
        return false;
      return std::fabs(deg.get<double>()) <= (who.is_string() ? max_joint_deg : orvane::degrees_max);
    });
    if (!ok)
      return std::string("\"goals\" must list [servo id 1..32, degrees -150..150] or [joint, degrees] pairs");
    if (!j.contains("ms") || !int_in(json_at(j, "ms"), 0, max_ms))
      return std::string("\"ms\" must be a duration of 0 to 10000 ms");
    for (const json& p : json_at(j, "goals"))
      c.goals.emplace_back(*servo_name(p[0]), p[1].get<double>());
    c.ms = json_at(j, "ms").get<int>();
  } else if (op == "torque") {
    c.what = web_command::torque;
    if (!j.contains("on") || !json_at(j, "on").is_boolean())
      return std::string("\"on\" must be true or false");
    c.on = json_at(j, "on").get<bool>();
    if (j.contains("ids") && !servo_list(json_at(j, "ids"), c.ids))
      return std::string("\"ids\" must list servo ids 1..32 or joints");
  } else if (op == "read") {
    c.what = web_command::read;
    if (!j.contains("ids") || !servo_list(json_at(j, "ids"), c.ids) || c.ids.empty())
      return std::string("\"ids\" must list servo ids 1..32 or joints");
  } else if (op == "leds") {
    c.what = web_command::led;
    bool ok = j.contains("leds") && pairs(json_at(j, "leds"), led_count, [](const json& i, const json& v) {
      return int_in(i, 0, led_count - 1) && int_in(v, 0, 255);
    });
    if (!ok)
      return std::string("\"leds\" must list [LED 0..15, value 0..255] pairs");
    for (const json& p : json_at(j, "leds"))
      c.leds.emplace_back(p[0].get<int>(), p[1].get<int>());
  } else if (op == "exit" || op == "poweroff") {
    c.what = op == "exit" ? web_command::exit : web_command::poweroff;
    if (!j.contains("confirm") || json_at(j, "confirm") != true)
      return "\"" + op + "\" needs \"confirm\": true";
  } else if (op == "play") {
    c.what = web_command::play;
    if (!j.contains("motion") || !json_at(j, "motion").is_string())
      return std::string("\"play\" needs a \"motion\" name");
    c.motion = json_at(j, "motion").get<std::string>();
    if (!web_motions::good_name(c.motion))
      return "no motion named \"" + c.motion.substr(0, max_name) + "\"";
  } else if (op == "stop") {
    c.what = web_command::stop;
  } else if (op == "jog") {
    // Speeds within what any joint could be given: each joint's own limit is the poller's to hold.
    c.what = web_command::jog;
    const json* v = j.contains("v") ? &j["v"] : nullptr;
    bool ok = v && v->is_array() && v->size() <= orvane::servo_max &&
              std::all_of(v->begin(), v->end(), [](const json& p) {
                return p.is_array() && p.size() == 2 && int_in(p[0], 1, orvane::servo_max) && p[1].is_number() &&
                       std::isfinite(p[1].get<double>()) && std::fabs(p[1].get<double>()) <= max_jog;
              });
    if (!ok)
      return std::string("\"v\" must list [servo id 1..32, degrees a second -180..180] pairs (none: stop)");
    for (const json& p : *v) {
      int id = p[0].get<int>();
      if (std::any_of(c.speeds.begin(), c.speeds.end(), [&](auto& s) { return s.first == id; }))
        return "servo " + std::to_string(id) + " is jogged twice";
      c.speeds.emplace_back(id, p[1].get<double>());
    }
  } else if (op == "mirror") {
    c.what = web_command::mirror;
    if (!j.contains("action") || !j["action"].is_string())
      return std::string("\"mirror\" needs an \"action\": engage, pause or end");
    c.action = j["action"].get<std::string>();
    if (c.action != "engage" && c.action != "pause" && c.action != "end")
      return "no mirror action \"" + c.action.substr(0, max_name) + "\": engage, pause or end";
    if (c.action == "engage") {
      if (!j.contains("leader") || !int_in(j["leader"], 0, max_robots))
        return std::string("\"engage\" needs the \"leader\": a robot's index");
      c.leader = j["leader"].get<int>();
    }
  } else {
    return "unknown op \"" + op.substr(0, max_name) + "\"";
  }
  return c;
}

}  // namespace

std::variant<web_command, std::string> web_parse_command(std::string_view body)
{
  auto j = json_in(body);
  if (auto* why = std::get_if<std::string>(&j))
    return "the request body is " + (*why == "not JSON" ? *why : "refused: " + *why);
  return parse(std::get<json>(j));
}

std::variant<web_command, std::string> web_parse_json(const json& j)
{
  return parse(j);
}

int web_move_ticks(orvane::client& c, const web_command& cmd)
{
  return c.ticks_for(std::chrono::milliseconds(cmd.ms));
}

std::vector<std::pair<int, double>> web_servo_goals(const orvane::robot_model& model, const web_command& cmd)
{
  std::vector<std::pair<int, double>> goals;
  for (const auto& [who, deg] : cmd.goals)
    goals.push_back(model.goal(who, deg));
  return goals;
}

void web_apply(orvane::client& c, const web_command& cmd)
{
  std::shared_ptr<const orvane::robot_model> model = c.model();
  std::vector<int> ids;
  for (const std::string& n : cmd.ids)
    ids.push_back(model->servo(n));
  switch (cmd.what) {
    case web_command::move: {
      int ticks = web_move_ticks(c, cmd);
      if (ticks > orvane::ttime_max)
        throw std::logic_error("a move of " + std::to_string(ticks) + " ticks is the player's");
      c.move(web_servo_goals(*model, cmd), ticks);
      break;
    }
    case web_command::torque:
      c.torque(cmd.on, ids);
      break;
    case web_command::led: {
      std::vector<std::pair<int, uint8_t>> v;
      for (auto [i, value] : cmd.leds)
        v.emplace_back(i, static_cast<uint8_t>(value));
      c.set_leds(v);
      break;
    }
    case web_command::exit:
      c.request_exit();
      break;
    case web_command::poweroff:
      c.request_poweroff();
      break;
    case web_command::read: {
      // Added to the servos the groups hold already, laid out afresh.
      std::vector<int> all;
      for (const auto& g : c.groups())
        all.insert(all.end(), g.begin(), g.end());
      all.insert(all.end(), ids.begin(), ids.end());
      c.read_servos(all);
      break;
    }
    case web_command::play:
    case web_command::stop:
    case web_command::jog:
    case web_command::mirror:
      break;  // the poller's player, jog and mirror run these
  }
}

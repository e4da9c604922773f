#include "host/mqtt/topics.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cmath>
#include <nlohmann/json.hpp>

#include "host/web/json_in.h"

using nlohmann::json;

namespace {

constexpr size_t max_id = 32;
constexpr size_t max_request = 64;  // a request id is echoed back; keep it short
constexpr size_t max_shown = 64;    // of a bad verb or id in an error

std::string dump(const json& j)
{
  // Invalid bytes from the robot (its name) must not make a message unsendable.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The request id of a body, if it has a usable one.
std::optional<std::string> request_of(const json& j)
{
  const json& v = json_at(j, "id");
  std::string s;
  if (v.is_string())
    s = v.get<std::string>();
  else if (v.is_number_integer())
    s = std::to_string(v.get<int64_t>());
  else
    return std::nullopt;
  if (s.empty() || s.size() > max_request)
    return std::nullopt;
  return s;
}

}  // namespace

bool mq_id_ok(std::string_view id)
{
  if (id.empty() || id.size() > max_id)
    return false;
  for (char c : id)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
      return false;
  return true;
}

std::string mq_id_from_name(std::string_view name)
{
  std::string id;
  for (char c : name) {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (id.size() < max_id && mq_id_ok(std::string_view(&l, 1)))
      id += l;
  }
  return id;
}

std::string mq_topic(std::string_view id, std::string_view what)
{
  return "orvane/" + std::string(id) + "/" + std::string(what);
}

std::variant<mq_accepted, mq_refused> mq_check(const mq_incoming& m, std::string_view id,
                                               double now_s, double max_age_s,
                                               bool allow_poweroff)
{
  bool all = m.topic == mq_stop_all;
  std::string prefix = mq_topic(id, "cmd/");
  if (!all && m.topic.compare(0, prefix.size(), prefix) != 0)
    return mq_refused{"", "not a command for " + std::string(id) + ": " + m.topic.substr(0, 128)};
  std::string verb = all ? "stop" : m.topic.substr(prefix.size());
  bool stop = verb == "stop";
  if (!stop && m.payload.empty())
    return mq_refused{"", ""};  // what clears a retained command: nothing to carry out or answer

  auto read = json_in(m.payload, {mq_max_command, 8});
  json body = std::holds_alternative<json>(read) ? std::get<json>(std::move(read)) : json();
  std::string request = request_of(body).value_or("");
  // A stop only ever stops: any body at all (not JSON, too big, "stop") is taken, and answered
  // when it names a request id.
  if (stop) {
    web_command cmd;
    cmd.what = web_command::stop;
    return mq_accepted{request, std::move(cmd)};
  }
  auto refuse = [&](std::string why) { return mq_refused{request, std::move(why)}; };
  if (auto* why = std::get_if<std::string>(&read))
    return refuse("the command is refused: " + *why);
  if (!body.is_object())
    return refuse("the command is not a JSON object");
  if (m.retained)
    return refuse("a retained command is never carried out");
  if (request.empty())
    return refuse("the command needs an \"id\": a string or number of 1 to 64 characters");
  const json& ts = json_at(body, "ts");
  if (!ts.is_number())
    return refuse("the command needs \"ts\": seconds since the epoch when it was sent");
  double age = now_s - ts.get<double>();
  if (!std::isfinite(age) || std::fabs(age) > max_age_s) {
    std::string how = "its \"ts\" is not a time near now";
    if (std::isfinite(age) && std::fabs(age) < 1e9)  // a count of seconds worth showing
      how = "it is " + std::to_string(static_cast<long long>(std::round(age))) + " s old by its \"ts\"";
    return refuse("the command is refused: " + how + "; more than " +
                  std::to_string(static_cast<int>(max_age_s)) + " s either way is refused");
  }
  if (verb == "poweroff" && !allow_poweroff)
    return refuse("poweroff is off on this bridge (--allow-poweroff)");
  if (verb == "identify") {
    const json& sec = json_at(body, "s");
    if (!sec.is_null() && !(sec.is_number() && sec.get<double>() >= 1 && sec.get<double>() <= 30))
      return refuse("\"s\" must be seconds, 1 to 30");
    mq_accepted a{request, web_command{}};
    a.cmd.what = web_command::led;
    a.identify_ms = sec.is_null() ? mq_identify_ms : static_cast<int>(sec.get<double>() * 1000);
    return a;
  }
  static const char* const verbs[] = {"move", "torque", "leds", "play", "stop", "exit", "poweroff"};
  if (std::find(std::begin(verbs), std::end(verbs), verb) == std::end(verbs))
    return refuse("unknown command \"" + verb.substr(0, max_shown) +
                  "\"; there are move, torque, leds, play, stop, identify, exit and poweroff");
  // orvane-web's own check, with the topic's verb in place of its "op".
  body["op"] = verb;
  auto r = web_parse_json(body);
  if (auto* why = std::get_if<std::string>(&r))
    return refuse(*why);
  return mq_accepted{request, std::get<web_command>(r)};
}

std::string mq_reply(std::string_view request, const std::string& error)
{
  json j = {{"id", request}, {"ok", error.empty()}};
  if (!error.empty())
    j["error"] = error;
  return dump(j);
}

std::string mq_info_json(const mq_info& i)
{
  json groups = json::array();
  for (const auto& g : i.rd_groups)
    groups.push_back(g);
  json joints = json::object();
  for (const auto& [sid, name] : i.joints)
    joints[name] = sid;
  return dump({{"id", i.id},
               {"robot_name", i.name},
               {"banner", i.banner},
               {"version", i.version},
               {"wr_ids", i.wr_ids},
               {"rd_group", groups},
               {"joints", joints},
               {"motions", i.motions}});
}

std::string mq_servo_key(int sid, const std::map<int, std::string>& joints)
{
  auto it = joints.find(sid);
  return it != joints.end() ? it->second : std::to_string(sid);
}

nlohmann::json mq_motion_json(const web_play& p)
{
  if (p.name.empty())
    return nullptr;
  if (p.playing) {
    double done = p.moves > 0 && p.move > 0 ? static_cast<double>(p.move - 1) / static_cast<double>(p.moves) : 0;
    return {{"name", p.name}, {"state", "playing"}, {"progress", std::round(done * 100) / 100}};
  }
  const std::string stopped = "stopped";
  if (p.outcome == "done")
    return {{"name", p.name}, {"state", "finished"}};
  if (p.outcome.compare(0, stopped.size(), stopped) == 0) {
    json j = {{"name", p.name}, {"state", "stopped"}};
    if (p.outcome.size() > stopped.size() + 2)  // "stopped: why"
      j["why"] = p.outcome.substr(stopped.size() + 2);
    return j;
  }
  return {{"name", p.name}, {"state", "failed"}, {"why", p.outcome}};
}

namespace {

json content(const web_state& s, const std::map<int, std::string>& joints)
{
  json servos = json::object();
  for (const web_servo& sv : s.servos)
    servos[mq_servo_key(sv.id, joints)] = {
        {"id", sv.id},
        {"goal", sv.goal},
        {"pos", sv.pos ? json(*sv.pos) : json(nullptr)},
        {"torque", sv.torque},
        // Next to a joint's name its own degrees; a position only while it is a reading.
        {"goal_deg", sv.goal_deg},
        {"deg", sv.deg ? json(*sv.deg) : json(nullptr)},
        {"reading", sv.reading},
        {"why", sv.why}};
  std::vector<int> sw(s.sw.begin(), s.sw.end());
  return {{"sw_in", sw},
          {"servo", servos},
          {"led", {{"a", std::vector<int>(s.leds.begin(), s.leds.begin() + 8)},
                   {"b", std::vector<int>(s.leds.begin() + 8, s.leds.end())}}},
          {"motion", mq_motion_json(s.play)}};
}

}  // namespace

std::string mq_state_content(const web_state& s, const std::map<int, std::string>& joints)
{
  return dump(content(s, joints));
}

std::string mq_state_json(const web_state& s, const std::map<int, std::string>& joints,
                          double rate, int64_t t_ms)
{
  json j = content(s, joints);
  j["loop_count"] = s.loop_count;
  j["rate"] = std::round(rate * 10) / 10;
  j["t"] = t_ms;
  return dump(j);
}

std::string mq_event(std::string_view what, int64_t t_ms,
                     const std::vector<std::pair<std::string, std::string>>& fields)
{
  json j = {{"event", what}, {"t", t_ms}};
  for (const auto& [k, v] : fields)
    j[k] = v;
  return dump(j);
}

std::vector<std::string> mq_state_events(const web_state& before, const web_state& after,
                                         int64_t t_ms)
{
  std::vector<std::string> out;
  for (size_t i = 0; i < after.sw.size(); i++)
    if (before.sw[i] != after.sw[i])
      out.push_back(dump({{"event", "switch"}, {"t", t_ms}, {"sw_in", i},
                          {"closed", after.sw[i]}}));
  for (const web_servo& a : after.servos)
    for (const web_servo& b : before.servos)
      if (a.id == b.id && a.pos.has_value() != b.pos.has_value())
        out.push_back(dump({{"event", a.pos ? "reading-back" : "reading-lost"}, {"t", t_ms},
                            {"servo", a.id}}));
  return out;
}

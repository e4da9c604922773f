#include "host/mqtt/room.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "orvane.h"
#include "host/web/json_in.h"

using nlohmann::json;

namespace {

constexpr size_t max_name = 64;     // of a robot's name shown
constexpr size_t max_switches = 5;  // sw_in's entries

bool int_in(const json& v, int64_t lo, int64_t hi)
{
  if (v.is_number_unsigned())  // past INT64_MAX it would wrap as int64_t
    return hi >= 0 && v.get<uint64_t>() <= static_cast<uint64_t>(hi) &&
           static_cast<int64_t>(v.get<uint64_t>()) >= lo;
  return v.is_number_integer() && v.get<int64_t>() >= lo && v.get<int64_t>() <= hi;
}

// "orvane/ID/what" -> ID and what; false for anything else (or the class-wide "all").
bool split(const std::string& topic, std::string* id, std::string* what)
{
  const std::string prefix = "orvane/";
  if (topic.compare(0, prefix.size(), prefix) != 0)
    return false;
  size_t slash = topic.find('/', prefix.size());
  if (slash == std::string::npos)
    return false;
  *id = topic.substr(prefix.size(), slash - prefix.size());
  *what = topic.substr(slash + 1);
  return mq_id_ok(*id) && *id != "all";
}

}  // namespace

std::vector<std::string> mq_room::topics()
{
  return {"orvane/+/status", "orvane/+/info", "orvane/+/state"};
}

mq_room::robot* mq_room::find(const std::string& id, bool create)
{
  auto it = robots_.find(id);
  if (it != robots_.end())
    return &it->second;
  if (!create || robots_.size() >= max_robots)
    return nullptr;
  return &robots_[id];
}

void mq_room::take(const mq_incoming& m, int64_t now_ms)
{
  std::string id, what;
  if (!split(m.topic, &id, &what))
    return;
  std::lock_guard<std::mutex> l(mu_);
  if (what == "status") {
    // An empty retained status is how a robot is taken off the broker for good.
    if (m.payload.empty()) {
      changed_ = robots_.erase(id) > 0 || changed_;
      return;
    }
    if (m.payload != "online" && m.payload != "offline" && m.payload != "robot-lost")
      return;
    if (robot* r = find(id, true)) {
      changed_ = changed_ || r->status != m.payload;
      r->status = m.payload;
    }
    return;
  }
  if (what != "info" && what != "state")
    return;
  auto read = json_in(m.payload, {mq_max_state, 8});
  if (!std::holds_alternative<json>(read) || !std::get<json>(read).is_object())
    return;
  const json& j = std::get<json>(read);
  robot* r = find(id, true);
  if (r == nullptr)
    return;
  if (what == "info") {
    const json& n = json_at(j, "robot_name");
    r->name = n.is_string() ? n.get<std::string>().substr(0, max_name) : "";
    changed_ = true;
    return;
  }
  // A state message: only the fields the view shows, each checked for its type and range (any
  // robot's account may publish one), and no more of them than a robot has.
  const json& rate = json_at(j, "rate");
  r->rate = rate.is_number() && std::isfinite(rate.get<double>()) ? std::optional<double>(rate.get<double>())
                                                                  : std::nullopt;
  r->sw.clear();
  if (const json& sw = json_at(j, "sw_in"); sw.is_array())
    for (const json& v : sw)
      if (r->sw.size() < max_switches)
        r->sw.push_back(v.is_number_integer() && v.get<int64_t>() != 0 ? 1 : 0);
  r->servos.clear();
  if (const json& sv = json_at(j, "servo"); sv.is_object())
    for (const auto& [key, v] : sv.items()) {
      const json& sid = json_at(v, "id");
      if (!int_in(sid, 1, orvane::servo_max) || r->servos.size() >= size_t{orvane::servo_max})
        continue;
      servo s{key.substr(0, max_name), sid.get<int>(), std::nullopt};
      if (const json& pos = json_at(v, "pos"); int_in(pos, INT16_MIN, INT16_MAX))
        s.pos = pos.get<int>();
      r->servos.push_back(std::move(s));
    }
  std::sort(r->servos.begin(), r->servos.end(), [](auto& a, auto& b) { return a.id < b.id; });
  r->has_state = true;
  r->state_at = now_ms;
  changed_ = true;
}

void mq_room::link(bool up, const std::string& problem)
{
  std::lock_guard<std::mutex> l(mu_);
  if (up && !up_)
    robots_.clear();
  changed_ = changed_ || up != up_ || problem != problem_;
  up_ = up;
  problem_ = problem;
}

bool mq_room::changed()
{
  std::lock_guard<std::mutex> l(mu_);
  return std::exchange(changed_, false);
}

std::string mq_room::page_json(int64_t now_ms)
{
  std::lock_guard<std::mutex> l(mu_);
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [id, r] : robots_) {
    nlohmann::json servos = nlohmann::json::array();
    for (const servo& s : r.servos)
      servos.push_back({{"key", s.key}, {"id", s.id}, {"pos", s.pos ? nlohmann::json(*s.pos) : nullptr}});
    list.push_back({{"id", id},
                    {"name", r.name},
                    {"status", r.status.empty() ? "unknown" : r.status},
                    {"rate", r.rate ? nlohmann::json(*r.rate) : nullptr},
                    {"sw_in", r.sw},
                    {"servos", servos},
                    {"age", r.has_state ? nlohmann::json(now_ms - r.state_at) : nullptr}});
  }
  nlohmann::json j = {{"broker", {{"up", up_}, {"problem", problem_}}}, {"robots", list}};
  // A robot's name may hold invalid UTF-8: replaced, never an exception.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

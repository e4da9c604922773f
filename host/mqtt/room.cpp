#include "host/mqtt/room.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <nlohmann/json.hpp>

#include "orvane.h"
#include "host/web/json_in.h"

using nlohmann::json;

namespace {

constexpr size_t max_name = 64;     // of a robot's name shown
constexpr size_t max_switches = 5;  // sw_in's entries
constexpr size_t max_motions = 64;  // names of what a bridge offers, kept
constexpr int64_t will_burst_ms = 2000;  // "offline" this close before the loss: the broker's own

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
  return {"orvane/+/status", "orvane/+/info", "orvane/+/state", "orvane/+/reply"};
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
      changed_ = changed_ || r->status != m.payload || !r->heard;
      if (r->status != m.payload) {
        r->was = r->status;
        r->status_at = now_ms;
      }
      r->status = m.payload;
      r->heard = true;
    }
    return;
  }
  if (what != "info" && what != "state" && what != "reply")
    return;
  auto read = json_in(m.payload, {mq_max_state, 8});
  if (!std::holds_alternative<json>(read) || !std::get<json>(read).is_object())
    return;
  const json& j = std::get<json>(read);
  robot* r = find(id, true);
  if (r == nullptr)
    return;
  r->heard = true;
  if (what == "info") {
    const json& n = json_at(j, "robot_name");
    r->name = n.is_string() ? n.get<std::string>().substr(0, max_name) : "";
    r->motions.clear();
    if (const json& ms = json_at(j, "motions"); ms.is_array())
      for (const json& v : ms)
        if (v.is_string() && r->motions.size() < max_motions && v.get<std::string>().size() <= max_name)
          r->motions.push_back(v.get<std::string>());
    changed_ = true;
    return;
  }
  if (what == "reply") {
    // Only the answers to this view's own commands: a refusal shows on the robot's card.
    const json& rid = json_at(j, "id");
    if (!rid.is_string() || rid.get<std::string>().rfind(request_prefix, 0) != 0)
      return;
    const json& err = json_at(j, "error");
    r->note = json_at(j, "ok") == true ? "" : err.is_string() ? err.get<std::string>().substr(0, 200) : "refused";
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
      servo s{key.substr(0, max_name), sid.get<int>(), std::nullopt, std::nullopt, ""};
      if (const json& pos = json_at(v, "pos"); int_in(pos, INT16_MIN, INT16_MAX))
        s.pos = pos.get<int>();
      // A bridge without joint degrees says only the servo's: those are shown then.
      const json& deg = json_at(v, "deg");
      if (deg.is_number() && std::isfinite(deg.get<double>()))
        s.deg = deg.get<double>();
      else if (s.pos && !v.contains("deg"))
        s.deg = *s.pos / 10.0;
      if (!s.pos)
        s.deg.reset();
      if (const json& why = json_at(v, "why"); why.is_string())
        s.why = why.get<std::string>().substr(0, max_name);
      r->servos.push_back(std::move(s));
    }
  std::sort(r->servos.begin(), r->servos.end(), [](auto& a, auto& b) { return a.id < b.id; });
  r->motion = nullptr;
  if (const json& mo = json_at(j, "motion"); mo.is_object()) {
    const json &name = json_at(mo, "name"), &st = json_at(mo, "state"), &why = json_at(mo, "why"),
               &progress = json_at(mo, "progress");
    static const char* const states[] = {"playing", "finished", "stopped", "failed"};
    if (name.is_string() && st.is_string() &&
        std::find(std::begin(states), std::end(states), st.get<std::string>()) != std::end(states)) {
      r->motion = {{"name", name.get<std::string>().substr(0, max_name)}, {"state", st}};
      if (why.is_string())
        r->motion["why"] = why.get<std::string>().substr(0, 200);
      if (progress.is_number() && progress.get<double>() >= 0 && progress.get<double>() <= 1)
        r->motion["progress"] = progress;
    }
  }
  r->has_state = true;
  r->state_at = now_ms;
  changed_ = true;
}

void mq_room::link(bool up, const std::string& problem, int64_t now_ms)
{
  std::lock_guard<std::mutex> l(mu_);
  if (up && !up_) {
    up_at_ = now_ms;
    for (auto& [id, r] : robots_)
      r.heard = false;
  }
  if (!up && up_)
    for (auto& [id, r] : robots_)
      if (r.status == "offline" && !r.was.empty() && now_ms - r.status_at <= will_burst_ms)
        r.status = r.was;
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
  if (up_ && now_ms - up_at_ > regrace_ms)
    std::erase_if(robots_, [](const auto& kv) { return !kv.second.heard; });
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [id, r] : robots_) {
    nlohmann::json servos = nlohmann::json::array();
    for (const servo& s : r.servos)
      servos.push_back({{"key", s.key},
                        {"id", s.id},
                        {"pos", s.pos ? nlohmann::json(*s.pos) : nullptr},
                        {"deg", s.deg ? nlohmann::json(*s.deg) : nullptr},
                        {"why", s.why}});
    list.push_back({{"id", id},
                    {"name", r.name},
                    {"status", r.status.empty() ? "unknown" : r.status},
                    {"rate", r.rate ? nlohmann::json(*r.rate) : nullptr},
                    {"sw_in", r.sw},
                    {"servos", servos},
                    {"age", r.has_state ? nlohmann::json(now_ms - r.state_at) : nullptr},
                    {"heard", r.heard},
                    {"motion", r.motion},
                    {"motions", r.motions},
                    {"note", r.note}});
  }
  nlohmann::json j = {{"broker", {{"up", up_}, {"problem", problem_}}}, {"robots", list}};
  // A robot's name may hold invalid UTF-8: replaced, never an exception.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

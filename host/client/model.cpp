// The robot model: joints, degrees, names, limits and positions. Pure functions on the model's
// values; the client calls them before it writes (client.cpp).
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "orvane_model.h"

namespace orvane {

namespace {

const field& table(const char* name)
{
  const field* f = find_field(name);
  if (!f)
    throw std::logic_error(std::string("field table lacks ") + name);
  return *f;
}

bool number(std::string_view s)
{
  return !s.empty() && s.size() <= 9 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int16_t word_at(const std::vector<uint8_t>& m, uint32_t adr)
{
  return static_cast<int16_t>(m[adr] | m[adr + 1] << 8);
}

// "elbow at -20 degrees (servo 3 at 20)", or "servo 7 at 160 degrees" for a servo without a joint.
std::string who_at(const joint* j, int id, int16_t units)
{
  double s = to_degrees(units);
  if (!j)
    return "servo " + std::to_string(id) + " at " + deg_text(s) + " degrees";
  return j->name + " at " + deg_text(joint_degrees(*j, s)) + " degrees (servo " + std::to_string(id) + " at " +
         deg_text(s) + ")";
}

// What the servo exchange sends servo `id` from map `m`: whether it holds (in the write list,
// with torque), and the goal it holds.
struct drive {
  bool held = false;
  int16_t goal = 0;
};

drive driven(const std::vector<uint8_t>& m, int id)
{
  static const orvane::field& torque_on = table("sv_torque_on");
  static const orvane::field& count = table("wr_count");
  static const orvane::field& ids = table("wr_ids");
  static const orvane::field& out = table("ip_out");
  int n = std::min<int>(m[count.offset], static_cast<int>(ids.count));
  bool listed = false;
  for (int i = 0; i < n && !listed; i++)
    listed = m[ids.offset_of(i)] == id;
  drive d;
  d.goal = word_at(m, out.offset_of(id));
  d.held = listed && word_at(m, torque_on.offset) != 0 && (m[out.offset_of(servo_max + id)] != 0);
  return d;
}

}  // namespace

double servo_degrees(const joint& j, double deg) { return (j.reverse ? -deg : deg) + j.trim; }

double joint_degrees(const joint& j, double servo_deg)
{
  double d = servo_deg - j.trim;
  return j.reverse ? -d : d;
}

std::string deg_text(double d)
{
  char buf[32];
  snprintf(buf, sizeof buf, "%.2f", d);
  std::string s = buf;
  while (s.ends_with("0"))
    s.pop_back();
  if (s.ends_with("."))
    s.pop_back();
  return s == "-0" ? "0" : s;
}

unknown_joint::unknown_joint(std::string n, const std::string& message) : out_of_range(message), name(std::move(n)) {}

namespace {

std::string joined(const std::vector<std::string>& l)
{
  std::string s;
  for (const std::string& x : l)
    s += (s.empty() ? "" : "; ") + x;
  return s;
}

}  // namespace

beyond_limits::beyond_limits(std::vector<std::string> r) : out_of_range(joined(r)), refusals(std::move(r)) {}

robot_model::robot_model()
{
  for (int id = 1; id <= servo_max; id++) {
    joint j;
    j.name = std::to_string(id);
    j.id = id;
    joints.push_back(j);
  }
}

const joint* robot_model::find(std::string_view name) const
{
  for (const joint& j : joints)
    if (j.name == name)
      return &j;
  return nullptr;
}

const joint* robot_model::by_id(int id) const
{
  for (const joint& j : joints)
    if (j.id == id)
      return &j;
  return nullptr;
}

const joint* robot_model::named(int id) const { return profiled() ? by_id(id) : nullptr; }

std::string robot_model::names() const
{
  std::string s;
  for (const joint& j : joints)
    s += (s.empty() ? "" : ", ") + j.name;
  return s;
}

int robot_model::servo(std::string_view name) const
{
  if (profiled())
    if (const joint* j = find(name))
      return j->id;
  if (number(name)) {
    long id = std::strtol(std::string(name).c_str(), nullptr, 10);
    if (id < 1 || id > servo_max)
      throw out_of_range("servo id " + std::string(name) + " out of range 1..32");
    return static_cast<int>(id);
  }
  std::string n(name.substr(0, 64));
  if (!profiled())
    throw unknown_joint(n, "no servo '" + n + "': servo ids are 1..32 (a profile gives joints names)");
  throw unknown_joint(n, "no such joint '" + n + "' (joints: " + names() + ")");
}

std::pair<int, double> robot_model::goal(std::string_view who, double deg) const
{
  if (const joint* j = profiled() ? find(who) : nullptr) {
    double s = servo_degrees(*j, deg);
    if (!(std::fabs(s) <= degrees_max))  // NaN too; no servo takes it, so no --anyway either
      throw out_of_range(j->name + " at " + deg_text(deg) + " degrees puts servo " + std::to_string(j->id) +
                         " at " + deg_text(s) + ", beyond its range -150..150");
    return {j->id, s};
  }
  int id = servo(who);
  if (!(std::fabs(deg) <= degrees_max)) {  // no servo takes it: not a limit to be let past
    char d[32];
    snprintf(d, sizeof d, "%g", deg);
    throw out_of_range("goal " + std::string(d) + " degrees for servo " + std::to_string(id) +
                       " out of range -150.0..150.0");
  }
  return {id, deg};
}

named_field robot_model::field(std::string_view name) const
{
  std::string n(name);
  size_t dot = n.find('.');
  std::string base = n.substr(0, dot), rest = dot == std::string::npos ? "" : n.substr(dot + 1);
  if (profiled()) {
    if (const joint* j = find(base)) {
      if (rest.empty())
        return {resolve("sv_pos", j->id), j, n};
      if (rest == "goal")
        return {resolve("servo.#.goal", j->id), j, n};
      if (rest == "torque")
        return {resolve("servo.#.torque", j->id), nullptr, n};
      throw out_of_range("'" + n + "': a joint has its position (" + base + "), " + base + ".goal and " + base +
                         ".torque");
    }
  }
  // A servo's index by its joint's name: sv_pos.elbow, servo.elbow.goal, servo.elbow.torque.
  std::string servo_view;
  if (base == "sv_pos" && !rest.empty() && rest.find('.') == std::string::npos)
    servo_view = "sv_pos";
  else if (base == "servo" && (rest.ends_with(".goal") || rest.ends_with(".torque")))
    servo_view = rest.substr(rest.rfind('.') + 1);
  if (!servo_view.empty()) {
    std::string who = servo_view == "sv_pos" ? rest : rest.substr(0, rest.rfind('.'));
    if (!number(who)) {
      int id = servo(who);  // unknown_joint for a name the profile lacks
      field_ref r = servo_view == "sv_pos" ? resolve("sv_pos", id) : resolve("servo.#." + servo_view, id);
      return {r, nullptr, n};
    }
  }
  try {
    field_ref r = resolve(name);
    return {r, nullptr, r.label};
  } catch (const unknown_field& e) {
    // "knee.goal", or "knee" with nothing close among the fields: a joint the profile lacks.
    bool joint_like = rest.empty() ? e.suggestion.empty() : (rest == "goal" || rest == "torque");
    if (profiled() && joint_like && !find_field(base))
      throw unknown_joint(base, "no such joint '" + base.substr(0, 64) + "' (joints: " + names() + ")");
    throw;
  }
}

std::string robot_model::goal_refusal(int id, int16_t units) const
{
  const joint* j = named(id);
  double s = to_degrees(units);
  if (j) {
    double d = joint_degrees(*j, s);
    // Half a unit of slack: a goal in joint degrees is rounded to 0.1 servo degrees when sent.
    if (d < j->min - 0.05 || d > j->max + 0.05)
      return who_at(j, id, units) + " is beyond its limits " + deg_text(j->min) + ".." + deg_text(j->max);
  }
  if (!(std::fabs(s) <= degrees_max))
    return who_at(j, id, units) + " is beyond the servo's range -150..150";
  return "";
}

std::string robot_model::joint_refusal(const joint& j, double deg) const
{
  if (!std::isfinite(deg))
    return j.name + ": " + deg_text(deg) + " is not an angle";
  if (deg < j.min || deg > j.max) {
    std::string s = profiled() ? j.name + " at " + deg_text(deg) + " degrees" : "servo " + j.name + " at " + deg_text(deg) + " degrees";
    return s + " is beyond its limits " + deg_text(j.min) + ".." + deg_text(j.max);
  }
  double s = servo_degrees(j, deg);
  if (std::fabs(s) > degrees_max)
    return j.name + " at " + deg_text(deg) + " degrees puts servo " + std::to_string(j.id) + " at " + deg_text(s) +
           ", beyond its range -150..150";
  return "";
}

std::string robot_model::torque_refusal(int id, int16_t goal) const
{
  std::string why = goal_refusal(id, goal);
  if (why.empty())
    return "";
  const joint* j = named(id);
  return "torque on would hold " + (j ? j->name : "servo " + std::to_string(id)) + " at its goal: " + why +
         "; move it within them first";
}

// Up to the output of servo 32's torque channel: all that decides what a servo is sent.
static uint32_t drive_end() { return table("ip_out").offset_of(2 * servo_max) + 2; }

std::vector<std::string> robot_model::write_refusals(uint32_t adr, const std::vector<uint8_t>& bytes,
                                                      const std::vector<uint8_t>& now) const
{
  static const orvane::field& target = table("ip_target");
  static const orvane::field& enable = table("ip_enable");
  static const orvane::field& ttime = table("ttime");
  static const orvane::field& out = table("ip_out");
  uint32_t need = drive_end();
  if (adr >= need || bytes.empty())
    return {};
  if (now.size() < need)
    throw std::logic_error("write_refusals needs the map up to ip_out's torque channels");
  std::vector<uint8_t> after(now.begin(), now.begin() + need);
  for (size_t i = 0; i < bytes.size() && adr + i < need; i++)
    after[adr + i] = bytes[i];
  // A trigger moves every enabled channel to its target: where it ends is what counts.
  if (adr <= ttime.offset && adr + bytes.size() > ttime.offset && after[ttime.offset] != 0)
    for (int ch = 1; ch <= 2 * servo_max; ch++)
      if (after[enable.offset_of(ch)]) {
        after[out.offset_of(ch)] = after[target.offset_of(ch)];
        after[out.offset_of(ch) + 1] = after[target.offset_of(ch) + 1];
      }
  return change_refusals(now, after);
}

std::vector<std::string> robot_model::change_refusals(const std::vector<uint8_t>& now,
                                                       const std::vector<uint8_t>& after) const
{
  static const orvane::field& target = table("ip_target");
  static const orvane::field& out = table("ip_out");
  if (now.size() < drive_end() || after.size() < drive_end())
    throw std::logic_error("change_refusals needs the map up to ip_out's torque channels");
  std::vector<std::string> no;
  auto changed = [&](uint32_t a) { return word_at(after, a) != word_at(now, a); };
  auto add = [&](const std::string& why) {
    if (!why.empty() && std::find(no.begin(), no.end(), why) == no.end())
      no.push_back(why);
  };
  for (int id = 1; id <= servo_max; id++) {
    size_t before = no.size();
    // A goal target or output set beyond the limits.
    for (uint32_t a : {target.offset_of(id), out.offset_of(id)})
      if (changed(a))
        add(goal_refusal(id, word_at(after, a)));
    // A servo made to hold a goal beyond them; one refused above already is not named twice.
    drive was = driven(now, id), will = driven(after, id);
    if (no.size() == before && will.held && (!was.held || will.goal != was.goal))
      add(torque_refusal(id, will.goal));
  }
  return no;
}

position robot_model::position_of(const read_groups& g, const std::vector<int16_t>& pos, int id, bool comm_on) const
{
  position p;
  p.reading = reading_of(g, pos, id, comm_on);
  if (p.reading.state != reading_state::valid)
    return p;
  p.servo_deg = to_degrees(pos[static_cast<size_t>(id - 1)]);
  const joint* j = by_id(id);
  p.joint_deg = j ? joint_degrees(*j, *p.servo_deg) + 0.0 : *p.servo_deg;  // + 0.0: never "-0"
  return p;
}

std::string joint_name_problem(std::string_view name)
{
  if (name.empty())
    return "a joint needs a name";
  if (number(name) || std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return "a number names a servo, not a joint";
  if (name.find_first_of(". \t#=,") != std::string_view::npos)
    return "a joint's name has no dot, blank, '#', '=' or ','";
  if (find_field(name))
    return "'" + std::string(name) + "' is a field of the map";
  return "";
}

}  // namespace orvane

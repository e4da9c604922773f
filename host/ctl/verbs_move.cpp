// Verbs that move servos: move and torque.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "verbs.h"

namespace {

struct move_args {
  int ticks = 0;
  int ms = 0;
  bool no_wait = false;
  std::vector<std::string> goals;  // ID=DEG
};

void move(ctl& c, const move_args& a)
{
  std::vector<std::pair<int, double>> goals;
  std::vector<int> ids;
  for (auto& g : a.goals) {
    size_t eq = g.find('=');
    if (eq == std::string::npos)
      throw usage_error("'" + g + "' is not ID=DEGREES" +
                        (c.profile().file.empty() ? "" : " or JOINT=DEGREES"));
    std::string who = g.substr(0, eq);
    double deg = ctl_double(g.substr(eq + 1), "goal");
    // A joint takes joint degrees within its soft limits; a servo id its own degrees, and,
    // when the profile names its joint, only those that stay within the joint's limits.
    const orvane::motion::joint* j = c.profile().file.empty() ? nullptr : c.profile().find(who);
    int id = 0;
    if (j) {
      std::string why = orvane::motion::joint_check(*j, deg);
      if (!why.empty())
        throw orvane::out_of_range(who + ": " + why + " (" + c.profile().file + ")");
      id = j->id;
      deg = orvane::motion::joint_servo_deg(*j, deg);
    } else {
      id = static_cast<int>(ctl_int(who, c.profile().file.empty() ? "servo id" : "servo id or joint"));
      if (id < 1 || id > orvane::servo_max)
        throw orvane::out_of_range("servo id " + who + " out of range 1..32");
      if (!(std::abs(deg) <= orvane::degrees_max))
        throw orvane::out_of_range("goal " + g.substr(eq + 1) + " degrees for servo " +
                                   std::to_string(id) + " out of range -150.0..150.0");
      if (const orvane::motion::joint* pj = ctl_joint(c, id)) {
        double jd = orvane::motion::joint_deg(*pj, orvane::to_units(deg));
        std::string why = orvane::motion::joint_check(*pj, jd);
        if (!why.empty())
          throw orvane::out_of_range("servo " + who + " is joint " + pj->name + ": " + why + " (" +
                                     c.profile().file + ")");
      }
    }
    if (std::find(ids.begin(), ids.end(), id) != ids.end())
      throw usage_error("servo " + std::to_string(id) + " named twice");
    goals.push_back({id, deg});
    ids.push_back(id);
  }
  auto& cl = c.client();
  int ticks = a.ticks;
  if (ticks == 0) {
    ticks = cl.ticks_for(std::chrono::milliseconds(a.ms > 0 ? a.ms : 1000));
    if (ticks > 255)
      throw orvane::out_of_range(std::to_string(a.ms) + " ms is " + std::to_string(ticks) +
                                 " ticks; a move takes at most 255");
  }
  if (cl.get("sv_torque_on") == 0)
    ctl_warn("sv_torque_on is 0: no servo has torque, so none will move");
  else
    for (int id : ids)
      if (cl.get("servo.#.torque", id) == 0)
        ctl_warn("servo " + std::to_string(id) + "'s torque is off; it will not follow its goal");
  cl.move(goals, ticks);
  if (!a.no_wait)
    cl.wait_until_still(ids);
}

void torque(ctl& c, const std::string& state, const std::vector<std::string>& id_s)
{
  if (state != "on" && state != "off")
    throw usage_error("torque is 'on' or 'off', not '" + state + "'");
  std::vector<int> ids;
  ids.reserve(id_s.size());
  for (auto& s : id_s)
    ids.push_back(static_cast<int>(ctl_int(s, "servo id")));
  c.client().torque(state == "on", ids);
}

}  // namespace

void ctl_move_verbs(CLI::App& app, ctl& c)
{
  static move_args a;
  auto* m = ctl_verb(app, c, "move", "Move servos to goals in degrees, and wait for the end",
                     "move [--ticks N | --ms MS] [--no-wait] ID=DEG|JOINT=DEG...", [&c] { move(c, a); });
  auto* t = m->add_option("--ticks", a.ticks, "duration in ticks (1..255)")
                ->check(CLI::Range(1, 255));
  m->add_option("--ms", a.ms, "duration in milliseconds (default 1000)")
      ->check(CLI::Range(1, 3600000))
      ->excludes(t);
  m->add_flag("--no-wait", a.no_wait, "return once the move has started");
  m->add_option("goals", a.goals, "servo id and goal, e.g. 1=30 2=-45.5 (-150.0..150.0), or with --profile a "
                 "joint and its angle, e.g. elbow=45")
      ->required();

  static std::string state;
  static std::vector<std::string> ids;
  auto* q = ctl_verb(app, c, "torque", "Switch servos' torque (the write list's when no id)",
                     "torque on|off [ID...]", [&c] { torque(c, state, ids); });
  q->add_option("state", state, "on or off")->required();
  q->add_option("ids", ids, "servo ids 1..32");
}

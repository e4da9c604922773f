// Verbs that move servos: move and torque.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "verbs.h"

namespace {

constexpr double settle_default = 1.0;  // degrees, for --settle without a value

struct move_args {
  int ticks = 0;
  int ms = 0;
  bool no_wait = false;
  std::string settle;                // --settle [TOL]: "" for the default tolerance
  const CLI::Option* settle_opt = nullptr;
  std::vector<std::string> goals;    // ID=DEG
};

// The tolerance of --settle; a goal that --settle took for its value goes back to the goals.
std::optional<double> settle_tolerance(move_args& a)
{
  if (!a.settle_opt || a.settle_opt->count() == 0)
    return std::nullopt;
  if (a.settle.find('=') != std::string::npos) {
    a.goals.insert(a.goals.begin(), a.settle);
    a.settle.clear();
  }
  if (a.settle.empty())
    return settle_default;
  double t = ctl_double(a.settle, "--settle tolerance");
  if (!(t >= 0 && t <= 300))
    throw usage_error("--settle tolerance " + a.settle + " is out of range 0..300 degrees");
  return t;
}

void move(ctl& c, move_args& a)
{
  std::optional<double> tolerance = settle_tolerance(a);
  if (a.goals.empty())
    throw usage_error("move needs goals: servo id and degrees, e.g. 1=30 2=-45.5" +
                      std::string(c.profile().file.empty() ? "" : ", or joint and degrees, e.g. elbow=45"));
  if (tolerance && a.no_wait)
    throw usage_error("--settle waits, --no-wait does not: give one of them");
  // A joint takes its own degrees, a servo id the servo's; the client holds both to the model.
  std::vector<std::pair<int, double>> goals;
  std::vector<int> ids;
  const orvane::robot_model& m = c.profile();
  for (auto& g : a.goals) {
    size_t eq = g.find('=');
    if (eq == std::string::npos)
      throw usage_error("'" + g + "' is not ID=DEGREES" + (m.profiled() ? " or JOINT=DEGREES" : ""));
    std::string who = g.substr(0, eq);
    auto [id, deg] = m.goal(who, ctl_double(g.substr(eq + 1), "goal"));
    if (std::find(ids.begin(), ids.end(), id) != ids.end())
      throw usage_error(ctl_servo(c, id) + " named twice");
    goals.push_back({id, deg});
    ids.push_back(id);
  }
  auto& cl = c.client();
  int ticks = a.ticks ? a.ticks : cl.ticks_for(std::chrono::milliseconds(a.ms > 0 ? a.ms : 1000));
  std::vector<int> listed = cl.write_list();  // the others are refused, or warned of, below
  if (cl.get("sv_torque_on") == 0)
    ctl_warn("sv_torque_on is 0: no servo has torque, so none will move");
  else
    for (int id : ids)
      if (std::find(listed.begin(), listed.end(), id) != listed.end() &&
          cl.get("servo.#.torque", id) == 0)
        ctl_warn(ctl_servo(c, id) + ": torque is off; it will not follow its goal");
  // Another player's move under way is taken over, not waited for: said, so it is no surprise.
  for (int id : cl.moving(ids))
    ctl_warn(ctl_servo(c, id) + " is still moving (another move or motion drives it): this move takes over");
  cl.move(goals, ticks);
  if (a.no_wait)
    return;
  if (!tolerance) {
    cl.wait_until_still(ids);
    return;
  }
  auto limit = std::chrono::milliseconds(static_cast<int64_t>(c.timeout * 1000));
  for (int id : cl.wait_until_reached(ids, *tolerance, limit))
    ctl_warn(ctl_servo(c, id) + " has no reading: not waited for");
}

void torque(ctl& c, const std::string& state, const std::vector<std::string>& id_s)
{
  if (state != "on" && state != "off")
    throw usage_error("torque is 'on' or 'off', not '" + state + "'");
  std::vector<int> ids = id_s.empty() ? std::vector<int>{} : ctl_ids(c, id_s);
  c.client().torque(state == "on", ids);
}

}  // namespace

void ctl_move_verbs(CLI::App& app, ctl& c)
{
  static move_args a;
  auto* m = ctl_verb(app, c, "move", "Move servos to goals in degrees, and wait for the end",
                     "move [--ticks N | --ms MS] [--no-wait | --settle [TOL]] ID=DEG|JOINT=DEG...",
                     [&c] { move(c, a); });
  auto* t = m->add_option("--ticks", a.ticks, "duration in ticks (moves above 255 are chained)")
                ->check(ctl_range(1, orvane::move_ticks_max, true));
  m->add_option("--ms", a.ms, "duration in milliseconds (default 1000)")
      ->check(ctl_range(1, 3600000, true))
      ->excludes(t);
  m->add_flag("--no-wait", a.no_wait, "return once the move has started");
  a.settle_opt = m->add_option("--settle", a.settle,
                               "after the move, wait until each servo with a reading is within TOL "
                               "degrees of its goal (default 1)")
                     ->expected(0, 1)
                     ->type_name("[TOL]");
  m->add_option("goals", a.goals, "servo id and goal, e.g. 1=30 2=-45.5 (-150.0..150.0), or with "
                "--profile a joint and its angle, e.g. elbow=45");

  static std::string state;
  static std::vector<std::string> ids;
  auto* q = ctl_verb(app, c, "torque", "Switch servos' torque (the write list's when no id)",
                     "torque on|off [ID|JOINT...]", [&c] { torque(c, state, ids); });
  q->add_option("state", state, "on or off")->required();
  q->add_option("ids", ids, "servo ids 1..32 or ranges (1-6), or with --profile joint names");
}

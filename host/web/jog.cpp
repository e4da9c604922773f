#include "host/web/jog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "orvane.h"

namespace {

// The joint servo `id` turns: its profile's, or the servo itself (its own degrees, +-150).
orvane::joint joint_of(const orvane::robot_model& m, int id)
{
  if (const orvane::joint* j = m.by_id(id))
    return *j;
  orvane::joint j;
  j.id = id;
  return j;
}

// The servo goals (0.1 degree) a jog may reach: the joint's soft limits within the servo's
// range, rounded inwards so that no goal sent lies a rounding beyond them.
std::pair<double, double> servo_range(const orvane::joint& j)
{
  double a = orvane::servo_degrees(j, j.min), b = orvane::servo_degrees(j, j.max);
  double lo = std::max(std::min(a, b), -orvane::degrees_max), hi = std::min(std::max(a, b), orvane::degrees_max);
  return {std::ceil(lo * 10 - 1e-6) / 10, std::floor(hi * 10 + 1e-6) / 10};
}

}  // namespace

double web_jog_max(const orvane::robot_model& m, int id)
{
  const orvane::joint* j = m.by_id(id);
  return j && j->speed > 0 ? std::min(j->speed, web_jog_cap) : web_jog_cap;
}

std::string web_jog::take(const std::vector<std::pair<int, double>>& speeds, const orvane::robot_model& m,
                          const web_state& now, clock::time_point t)
{
  std::vector<axis> next;
  for (const auto& speed : speeds) {
    int id = speed.first;  // not a structured binding: clang 14's lambdas cannot capture those
    double v = speed.second;
    double top = web_jog_max(m, id);
    if (std::fabs(v) > top + 1e-9) {
      char s[120];
      snprintf(s, sizeof s, "servo %d may be jogged at %.0f degrees a second at most, not %.1f", id, top, std::fabs(v));
      return s;
    }
    auto sv = std::find_if(now.servos.begin(), now.servos.end(), [&](const web_servo& x) { return x.id == id; });
    if (sv == now.servos.end())
      return "servo " + std::to_string(id) + " is not in the write list: nothing would reach it";
    auto was = std::find_if(axes_.begin(), axes_.end(), [&](const axis& a) { return a.id == id; });
    next.push_back({id, v, was != axes_.end() ? was->x : sv->goal_deg});
  }
  if (next.empty()) {
    stop_ = "released";
    return "";
  }
  if (axes_.empty())
    stepped_ = t;
  // Servos that are no longer named stop where they are, with the others going on.
  axes_ = std::move(next);
  renewed_ = t;
  stop_ = nullptr;
  return "";
}

void web_jog::step(orvane::client& c, const orvane::robot_model& m, int32_t tick_us, clock::time_point t)
{
  if (axes_.empty())
    return;
  if (!stop_ && t - renewed_ > stale)
    stop_ = "no input for 0.4 s";
  if (stop_) {
    // Held where each goal is now: a one-tick move to the outputs as they are.
    std::vector<orvane::target> hold;
    for (const axis& a : axes_)
      hold.push_back({a.id, static_cast<int16_t>(c.get("servo.#.goal", a.id))});
    ended_ = stop_;
    axes_.clear();
    stop_ = nullptr;
    c.move_channels(hold, 1);
    return;
  }
  double dt = std::min(std::chrono::duration<double>(t - stepped_).count(), 0.1);
  stepped_ = t;
  std::vector<std::pair<int, double>> goals;
  for (axis& a : axes_) {
    orvane::joint j = joint_of(m, a.id);
    std::pair<double, double> r = servo_range(j);  // no structured binding: see take()
    double a_deg = orvane::joint_degrees(j, r.first), b_deg = orvane::joint_degrees(j, r.second);
    a.x = std::clamp(a.x + a.v * dt, std::min(a_deg, b_deg), std::max(a_deg, b_deg));
    goals.emplace_back(a.id, std::clamp(std::round(orvane::servo_degrees(j, a.x) * 10) / 10, r.first, r.second));
  }
  // A move one tick longer than the step, so that the goals glide on until the next one.
  int tick = std::max<int32_t>(tick_us, 1);
  int ticks = static_cast<int>(std::lround(dt * 1e6 / tick)) + 1;
  c.move(goals, std::clamp(ticks, 1, orvane::ttime_max));  // the client holds them to its model too
}

web_jog_state web_jog::state() const
{
  web_jog_state s;
  for (const axis& a : axes_)
    s.ids.push_back(a.id);
  s.ended = ended_;
  return s;
}

#include "host/web/jog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "orvane.h"

namespace {

const web_joint* joint_of(const web_joints& js, int id)
{
  for (const web_joint& j : js)
    if (j.id == id)
      return &j;
  return nullptr;
}

}  // namespace

std::string web_jog::take(const std::vector<std::pair<int, double>>& speeds, const web_joints& js,
                          const web_state& now, clock::time_point t)
{
  std::vector<axis> next;
  for (auto [id, v] : speeds) {
    double top = web_jog_max(js, id);
    if (std::fabs(v) > top + 1e-9) {
      char s[120];
      snprintf(s, sizeof s, "servo %d may be jogged at %.0f degrees a second at most, not %.1f", id, top, std::fabs(v));
      return s;
    }
    auto sv = std::find_if(now.servos.begin(), now.servos.end(), [&](const web_servo& x) { return x.id == id; });
    if (sv == now.servos.end())
      return "servo " + std::to_string(id) + " is not in the write list: nothing would reach it";
    auto was = std::find_if(axes_.begin(), axes_.end(), [&](const axis& a) { return a.id == id; });
    next.push_back({id, v, was != axes_.end() ? was->x : sv->goal / 10.0});
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

void web_jog::step(orvane::client& c, const web_joints& js, int32_t tick_us, clock::time_point t)
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
    double lo = -orvane::degrees_max, hi = orvane::degrees_max;
    if (const web_joint* j = joint_of(js, a.id))
      lo = j->lo, hi = j->hi;
    a.x = std::clamp(a.x + a.v * dt, lo, hi);
    goals.emplace_back(a.id, std::round(a.x * 10) / 10);
  }
  // A move one tick longer than the step, so that the goals glide on until the next one.
  int tick = std::max<int32_t>(tick_us, 1);
  int ticks = static_cast<int>(std::lround(dt * 1e6 / tick)) + 1;
  if (std::string why = web_joints_check(js, goals); !why.empty())
    throw orvane::out_of_range(why);
  c.move(goals, std::clamp(ticks, 1, orvane::ttime_max));
}

web_jog_state web_jog::state() const
{
  web_jog_state s;
  for (const axis& a : axes_)
    s.ids.push_back(a.id);
  s.ended = ended_;
  return s;
}

#include "host/motion/limits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvane::motion {

namespace {

constexpr int SAMPLES = 64;  // points per span at which an eased curve's speed is looked at

// The largest speed and acceleration of a path, in units a tick (squared).
std::pair<double, double> path_peaks(const mo_path& p, unsigned ticks)
{
  double d = std::fabs(p.to - p.from);
  if (p.ease == mo_ease::linear)
    return {d / ticks, 0};
  if (p.ease == mo_ease::smooth)  // the minimum-jerk peaks, at s = 1/2 and s = (3 - sqrt 3) / 6
    return {1.875 * d / ticks, 10 * std::sqrt(3.0) / 3 * d / (double(ticks) * ticks)};
  double v = 0, a = 0;
  for (int i = 0; i <= SAMPLES; i++) {
    double t = double(ticks) * i / SAMPLES;
    v = std::max(v, std::fabs(path_speed(p, ticks, t)));
    a = std::max(a, std::fabs(path_accel(p, ticks, t)));
  }
  return {v, a};
}

void note(std::vector<limit_fault>& out, const limit_fault& f)
{
  for (limit_fault& g : out)
    if (g.frame == f.frame && g.joint == f.joint && g.accel == f.accel) {
      if (f.factor > g.factor)
        g = f;
      return;
    }
  out.push_back(f);
}

std::string ms_text(double ms)
{
  char b[32];
  snprintf(b, sizeof b, "%.0f", ms);
  return b;
}

}  // namespace

std::vector<limit_fault> limit_faults(const motion& m, const profile& p, const plan_opts& o,
                                      const mo_outputs& start)
{
  std::vector<limit_fault> out;
  if (std::none_of(p.joints.begin(), p.joints.end(), [](const joint& j) { return j.speed > 0 || j.accel > 0; }))
    return out;
  double per_s = 1e6 / o.tick_us;  // ticks a second
  for (const mo_span& s : plan_spans(m, o, start))
    for (const mo_path& path : s.paths) {
      const joint* j = path.ch >= 1 && path.ch <= MO_MAX_ID ? p.by_id(path.ch) : nullptr;
      if (!j)
        continue;
      auto [v, a] = path_peaks(path, s.ticks);
      double deg_v = v * per_s / 10, deg_a = a * per_s * per_s / 10;
      // A little slack for the rounding of durations to ticks.
      if (j->speed > 0 && deg_v > j->speed * 1.0001)
        note(out, {s.frame, j->name, false, deg_v, j->speed, deg_v / j->speed});
      if (j->accel > 0 && deg_a > j->accel * 1.0001)
        note(out, {s.frame, j->name, true, deg_a, j->accel, std::sqrt(deg_a / j->accel)});
    }
  std::sort(out.begin(), out.end(), [](auto& x, auto& y) { return x.frame < y.frame; });
  return out;
}

std::string limit_text(const motion& m, const limit_fault& f)
{
  char b[160];
  snprintf(b, sizeof b, "%.0f degrees a second%s is above the joint's top %s %s", f.value, f.accel ? " squared" : "",
           f.accel ? "acceleration" : "speed", fmt_deg(f.limit).c_str());
  return m.file + ":" + std::to_string(m.frames[f.frame].line) + ": keyframes[" + std::to_string(f.frame + 1) +
         "].pose." + f.joint + ": " + b;
}

void limit_check(const motion& m, const profile& p, const plan_opts& o, const mo_outputs& start)
{
  std::vector<std::string> l;
  for (const limit_fault& f : limit_faults(m, p, o, start))
    l.push_back(limit_text(m, f));
  if (!l.empty())
    throw mo_errors(l);
}

std::vector<std::string> limit_fit(motion& m, const profile& p, const plan_opts& o, const mo_outputs& start)
{
  std::vector<double> was;
  for (const keyframe& k : m.frames)
    was.push_back(k.amount);
  // Stretching one keyframe of a spline changes its neighbours' slopes a little: go round until
  // nothing offends. Each round lengthens only what still does, so this ends.
  for (int round = 0; round < 50; round++) {
    std::vector<limit_fault> faults = limit_faults(m, p, o, start);
    if (faults.empty())
      break;
    std::vector<double> grow(m.frames.size(), 1.0);
    for (const limit_fault& f : faults)
      grow[f.frame] = std::max(grow[f.frame], f.factor * 1.002);
    for (size_t i = 0; i < m.frames.size(); i++) {
      keyframe& k = m.frames[i];
      if (grow[i] <= 1.0)
        continue;
      k.amount = std::ceil(k.amount * grow[i]);  // whole ms or ticks, as a person writes them
    }
  }
  if (!limit_faults(m, p, o, start).empty())
    throw mo_errors({m.file + ": cannot fit the motion within the joints' limits"});
  std::vector<std::string> said;
  for (size_t i = 0; i < m.frames.size(); i++)
    if (m.frames[i].amount != was[i]) {
      const keyframe& k = m.frames[i];
      const char* unit = k.in_ticks ? " ticks" : " ms";
      char x[32];
      snprintf(x, sizeof x, " (x%.2f)", k.amount / was[i]);
      said.push_back(m.file + ":" + std::to_string(k.line) + ": keyframes[" + std::to_string(i + 1) +
                     "] stretched from " + ms_text(was[i]) + " to " + ms_text(k.amount) + unit + x);
    }
  return said;
}

}  // namespace orvane::motion

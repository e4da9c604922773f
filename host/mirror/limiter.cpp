#include "host/mirror/limiter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::mirror {

namespace {

// With the acceleration limited, a step is taken as sub-steps of at most this, so that the rule
// for coming to rest holds however unevenly the loop's steps come: it is exact for steps of one
// length, and passes a target by about accel * sub-step^2 when they vary (0.0006 degrees at 600
// degrees a second squared).
constexpr double sub_step = 0.001;
constexpr double unit = 0.1;  // degrees: the resolution of a reading

}  // namespace

double limiter::step(double target, double dt, const limits& l)
{
  if (!(dt > 0))
    return x;
  double top = l.speed > 0 ? l.speed : std::numeric_limits<double>::infinity();
  double close = l.closing > 0 ? l.closing : std::numeric_limits<double>::infinity();
  if (l.accel <= 0) {
    double s = std::clamp(target - x, (vt_ - close) * dt, (vt_ + close) * dt);
    s = std::clamp(s, -top * dt, top * dt);
    v = s / dt;
    x += s;
    return x;
  }
  double a = l.accel;
  int n = static_cast<int>(std::ceil(dt / sub_step - 1e-9));
  double h = dt / n;
  for (int i = 0; i < n; i++) {
    double e = target - x;
    if (e == 0 && v == vt_)
      break;
    // Closing in on a target that moves at vt: the fastest speed relative to it from which steps
    // of h, each slower by a*h, still stop on it: r^2/(2a) + r*h/2 = |e|.
    double stop = a * (std::sqrt(h * h / 4 + 2 * std::fabs(e) / a) - h / 2);
    double want = std::clamp(vt_ + std::copysign(std::min(stop, close), e), -top, top);
    double nv = v + std::clamp(want - v, -a * h, a * h);
    double s = nv * h;
    // The last step: it reaches the target from a speed that may drop to the target's in one.
    if (e != 0 && s / e >= 1 && std::fabs(v - vt_) <= a * h * (1 + 1e-9)) {
      x = target;
      v = vt_;
      break;
    }
    v = nv;
    x += s;
  }
  return x;
}

double limiter::follow(double target, double now, double every, const limits& l)
{
  // Behind the target, the goal moves once a reading interval. On it, a reading seen again is
  // no news until two more should have come (a loaded robot skips a servo cycle now and then):
  // only then does the target stand still.
  bool fresh = target != last_;
  if (!fresh && stepped_ >= 0 && now - stepped_ < (x == target ? 2.5 : 0.75) * every)
    return x;
  // The time since the goal last moved is a whole number of reading intervals: readings come at
  // the servo's own pace, and the loop sees each up to half an interval early or late. Each
  // whole number within that half interval may be the true one (at most three: a loop that ran
  // late does not take a larger step to catch up).
  double seen = stepped_ < 0 ? every : now - stepped_;
  double first = std::clamp(std::ceil((seen - 0.5 * every) / every - 1e-9), 1.0, 3.0);
  double last = std::clamp(std::floor((seen + 0.5 * every) / every + 1e-9), first, 3.0);
  double span = every * std::clamp(std::round(seen / every), first, last);
  vt_ = fresh && stepped_ >= 0 ? (target - last_) / span : 0;
  if (l.speed > 0)
    vt_ = std::clamp(vt_, -l.speed, l.speed);
  last_ = target;
  stepped_ = now;
  if (on_) {
    // Onto the new reading, over whichever of those intervals keeps within the limits and
    // changes the speed least; the change is judged give or take a reading's own resolution,
    // the servos' tenth of a degree, in which the readings of a smooth move come.
    double best = -1, best_need = 0;
    for (double k = first; k <= last; k++) {
      double t = k * every, need = (target - x) / t;
      bool fits = (l.speed <= 0 || std::fabs(need) <= l.speed) &&
                  (l.accel <= 0 || std::fabs(need - v) <= l.accel * t + unit / t) &&
                  (l.closing <= 0 || std::fabs(need - vt_) <= l.closing);
      if (fits && (best < 0 || std::fabs(need - v) < std::fabs(best_need - v)))
        best = t, best_need = need;
    }
    if (best > 0) {
      x = target;
      v = best_need;
      return x;
    }
  }
  step(target, span, l);
  on_ = x == target;  // it has landed on it, at the target's own speed
  return x;
}

}  // namespace orvane::mirror

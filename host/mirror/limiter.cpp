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

}  // namespace

double limiter::step(double target, double dt, const limits& l)
{
  if (!(dt > 0))
    return x;
  double top = l.speed > 0 ? l.speed : std::numeric_limits<double>::infinity();
  if (l.accel <= 0) {
    double s = std::clamp(target - x, -top * dt, top * dt);
    v = s / dt;
    x += s;
    return x;
  }
  double a = l.accel;
  int n = static_cast<int>(std::ceil(dt / sub_step - 1e-9));
  double h = dt / n;
  for (int i = 0; i < n; i++) {
    double e = target - x;
    if (e == 0 && v == 0)
      break;
    // The fastest speed from which steps of h, each slower by a*h, still stop on the target:
    // v^2/(2a) + v*h/2 = |e|.
    double stop = a * (std::sqrt(h * h / 4 + 2 * std::fabs(e) / a) - h / 2);
    double want = std::copysign(std::min(top, stop), e);
    double nv = v + std::clamp(want - v, -a * h, a * h);
    double s = nv * h;
    // The last step: it reaches the target from a speed it may drop to rest in one step.
    if (e != 0 && s / e >= 1 && std::fabs(v) <= a * h * (1 + 1e-9)) {
      x = target;
      v = 0;
      break;
    }
    v = nv;
    x += s;
  }
  return x;
}

}  // namespace orvane::mirror

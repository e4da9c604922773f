#include "host/mirror/limiter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::mirror {

double limiter::step(double target, double dt, const limits& l)
{
  if (!(dt > 0))
    return x;
  double e = target - x;
  double top = l.speed > 0 ? l.speed : std::numeric_limits<double>::infinity();
  if (l.accel <= 0) {
    double s = std::clamp(e, -top * dt, top * dt);
    v = s / dt;
    x += s;
    return x;
  }
  double a = l.accel;
  // The fastest speed from which steps of dt, each slower by a*dt, still stop on the target:
  // v^2/(2a) + v*dt/2 = |e|.
  double stop = a * (std::sqrt(dt * dt / 4 + 2 * std::fabs(e) / a) - dt / 2);
  double want = std::copysign(std::min(top, stop), e);
  double nv = v + std::clamp(want - v, -a * dt, a * dt);
  double s = nv * dt;
  // The last step: it would reach the target at a speed that can stop within one step.
  if (e != 0 && s / e >= 1 && std::fabs(nv) <= a * dt * (1 + 1e-9)) {
    x = target;
    v = 0;
    return x;
  }
  v = nv;
  x += s;
  return x;
}

}  // namespace orvane::mirror

// Speed limits: a motion's planned curve against each joint's top speed and acceleration from the
// profile. A check names every keyframe that goes too fast; a fit stretches those keyframes until
// none does. Pure functions; callable from any thread.
#pragma once

#include <string>
#include <vector>

#include "host/motion/curve.h"

namespace orvane::motion {

struct limit_fault {
  size_t frame = 0;      // keyframe index
  std::string joint;
  bool accel = false;    // the acceleration is too high, rather than the speed
  double value = 0;      // degrees a second (squared)
  double limit = 0;
  double factor = 1;     // how much longer the keyframe must last for this joint
};

// Every keyframe and joint whose curve passes a limit, the worst of its repetitions; none when
// the profile gives no limits. A straight keyframe has no acceleration of its own (it changes
// speed within one tick), so only its speed is checked.
std::vector<limit_fault> limit_faults(const motion& m, const profile& p, const plan_opts& o,
                                      const mo_outputs& start);
// "FILE:LINE: keyframes[N].pose.J: 240 degrees a second is above the joint's top speed 180".
std::string limit_text(const motion& m, const limit_fault& f);
// Throws mo_errors listing every fault, if there is any.
void limit_check(const motion& m, const profile& p, const plan_opts& o, const mo_outputs& start);
// Lengthens each offending keyframe until no limit is passed, and says by how much, one line per
// keyframe stretched: "FILE:LINE: keyframes[N] stretched from 300 to 420 ms (x1.40)".
std::vector<std::string> limit_fit(motion& m, const profile& p, const plan_opts& o,
                                   const mo_outputs& start);

}  // namespace orvane::motion

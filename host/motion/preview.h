// A motion's preview without a robot: the planned curve of every joint, tick by tick, beside the
// goals the daemon's interpolator makes of the planned moves, as CSV for orvane.plot. Pure.
#pragma once

#include <string>

#include "host/motion/plan.h"

namespace orvane::motion {

// Header "tick,time_s,J.curve,J.goal,..." in joint degrees, one row per tick from 0, after
// comment lines that carry what the plot draws besides:
//   # joint,NAME,ID,MIN,MAX,TRIM,REVERSE      # keyframe,N,LINE,TICK,EASE (TICK: where it ends)
std::string preview_csv(const motion& m, const profile& p, const plan_opts& o, const mo_outputs& start);
// "# joint,NAME,ID,MIN,MAX,TRIM,REVERSE\n": a joint as the preview and a recording name it.
std::string joint_line(const joint& j);

}  // namespace orvane::motion

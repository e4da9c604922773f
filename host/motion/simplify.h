// Recordings turned into motions: the positions in a recording (the CSV of orvane-ctl record)
// become the fewest keyframes, each with the ease that fits it best, whose planned curve keeps
// every joint within a tolerance of what was recorded. Pure; callable from any thread.
#pragma once

#include <string>
#include <vector>

#include "host/motion/curve.h"
#include "host/motion/motion_file.h"

namespace orvane::motion {

struct simplify_opts {
  double tolerance = 1.0;  // degrees: the largest distance allowed from any recorded position
  double lead_ms = 1000;   // the first keyframe, which brings the robot to the first pose
  unsigned seg = MO_SEG_TICKS;  // ticks of the moves that play an eased keyframe
};

struct recorded_motion {
  motion m;
  double worst = 0;  // degrees: the planned curve's largest distance from a recorded position
};

// A motion from the sv_pos.N columns of a recording, timed by its loop_count, with the profile's
// joint names. An empty cell, or one that is not a number, is no reading; a position beyond a
// joint's limits is held at the limit. `notes` gets what was left out or held. Throws mo_errors
// for a file that is not a recording, has no position in it, or holds a pass count or a position
// no recording can hold.
recorded_motion recording_motion(const std::string& csv, const std::string& file, const profile& p,
                                 const simplify_opts& o, std::vector<std::string>& notes);

}  // namespace orvane::motion

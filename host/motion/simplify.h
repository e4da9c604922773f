// Recordings turned into motions: the positions in a recording (the CSV of orvane-ctl record)
// become the fewest straight keyframes that keep every joint within a tolerance of what was
// recorded. Pure; callable from any thread.
#pragma once

#include <string>
#include <vector>

#include "host/motion/motion_file.h"

namespace orvane::motion {

struct simplify_opts {
  double tolerance = 1.0;  // degrees: the largest distance allowed from any recorded position
  double lead_ms = 1000;   // the first keyframe, which brings the robot to the first pose
};

// The points of a sampled path (x[i] per joint, times t) kept by a line simplification that
// measures the largest distance of any joint at the same time: indices, first and last included.
std::vector<size_t> simplify_points(const std::vector<double>& t, const std::vector<std::vector<double>>& x,
                                    double tolerance);
// A motion from the sv_pos.N columns of a recording, timed by its loop_count, with the profile's
// joint names; `notes` gets what was left out or held at a limit. Throws mo_errors for a file
// that is not a recording or has no position in it.
motion recording_motion(const std::string& csv, const std::string& file, const profile& p,
                        const simplify_opts& o, std::vector<std::string>& notes);

}  // namespace orvane::motion

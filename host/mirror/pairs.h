// Mirroring's joint pairs: which leader joint drives which follower joint, with a scale and an
// offset, from the two robots' profiles and the options --map, --scale and --offset. Pure;
// callable from any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "host/motion/profile.h"

namespace orvane::mirror {

using motion::joint;
using motion::profile;

struct pair {
  joint leader;    // the servo that is read, limp, and how its reading becomes joint degrees
  joint follower;  // the servo that is driven, with its soft, speed and acceleration limits
  double scale = 1, offset = 0;  // follower degrees = scale * leader degrees + offset
};

struct pair_options {
  std::vector<std::string> map;     // "FOLLOWER=LEADER": joint names or servo ids, "7-12=1-6"
  std::vector<std::string> scale;   // "FOLLOWER=X"
  std::vector<std::string> offset;  // "FOLLOWER=DEG"
};

// A joint map that cannot be: one line naming the option and what is wrong with it.
struct pair_error : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// The pairs, in the follower profile's order. Without a map: every follower joint whose name the
// leader's profile has too, or, when neither robot has a profile, the servo ids `follower_ids`
// (the follower's write list) each led by the same id. On `same_robot` no servo may be on both
// sides. Throws pair_error.
std::vector<pair> make_pairs(const profile& leader, const profile& follower, const pair_options& s,
                             const std::vector<int>& follower_ids, bool same_robot);

// "elbow (servo 3)", or "servo 3" for a joint that is only a servo id.
std::string joint_label(const joint& j);

}  // namespace orvane::mirror

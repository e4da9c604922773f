// A robot's description from its profile: the URDF the profile names, or, for a builder who has
// none, a starting one made from the profile's joints. Pure, but for reading the named file;
// callable from any thread.
#pragma once

#include <string>
#include <vector>

#include "host/motion/profile.h"
#include "host/urdf/description.h"

namespace orvane::urdf {

// A starting URDF: a chain of revolute joints named as the profile's, in its order, with its
// limits, drawn with boxes and cylinders. The first joint and any whose name says it turns
// about the arm's length (twist, roll, yaw, rotate) turn about z, the others about y.
std::string ur_starter(const orvane::motion::profile& p);
// The profile's description: its `urdf:` file, or ur_starter's. Throws ur_error.
ur_model ur_profile_model(const orvane::motion::profile& p);
// What a profile and a description disagree on, one line each: a profile joint the description
// lacks or holds fixed is never drawn moving.
std::vector<std::string> ur_check(const ur_model& m, const orvane::motion::profile& p);

}  // namespace orvane::urdf

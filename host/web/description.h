// The robot's description (URDF) that orvane-web serves to its pages' 3D view: the file the
// profile names, or a starting one made from the profile. Loaded once at start, then read-only:
// any thread may read it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/urdf/description.h"
#include "host/web/channels.h"

// The description of the profile at `path`, with what it and the profile disagree on in
// `notes`; null in a build that reads no profiles. Throws std::runtime_error with the reason.
std::shared_ptr<const orvane::urdf::ur_model> web_description(const std::string& path,
                                                              std::vector<std::string>* notes);
// How the description's links follow the joints, for the Foxglove endpoint's /tf channel; empty
// for no description.
ch_kinematics web_kinematics(const std::shared_ptr<const orvane::urdf::ur_model>& m);

// The description of a build that reads no profiles (the robot's own): none, so its pages show no
// 3D view.
#include "host/web/description.h"

std::shared_ptr<const orvane::urdf::ur_model> web_description(const std::string&, std::vector<std::string>*)
{
  return nullptr;
}

ch_kinematics web_kinematics(const std::shared_ptr<const orvane::urdf::ur_model>&) { return {}; }

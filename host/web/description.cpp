#include "host/web/description.h"

#include <stdexcept>

#include "host/urdf/starter.h"

namespace mo = orvane::motion;
namespace ur = orvane::urdf;

std::shared_ptr<const ur::ur_model> web_description(const std::string& path, std::vector<std::string>* notes)
{
  try {
    mo::profile p = mo::profile_load(path);
    auto m = std::make_shared<const ur::ur_model>(ur::ur_profile_model(p));
    *notes = ur::ur_check(*m, p);
    return m;
  } catch (const mo::mo_errors& e) {
    throw std::runtime_error("--profile " + path + ": " + (e.list.empty() ? e.what() : e.list.front()));
  } catch (const ur::ur_error& e) {
    throw std::runtime_error("--profile " + path + ": its description " + e.what());
  }
}

ch_kinematics web_kinematics(const std::shared_ptr<const ur::ur_model>& m)
{
  if (!m)
    return {};
  return [m](const std::vector<std::pair<std::string, double>>& joints_deg) {
    ur::ur_positions q;
    for (const auto& [name, deg] : joints_deg)
      if (const ur::ur_joint* j = m->joint(name))
        q[name] = ur::ur_position(*j, deg);
    std::vector<ur::pose> poses = m->joint_poses(q);
    std::vector<ch_pose> out;
    out.reserve(poses.size());
    for (size_t i = 0; i < poses.size(); i++) {
      const ur::ur_joint& j = m->joints()[i];
      const ur::pose& p = poses[i];
      out.push_back({j.parent, j.child, {p.t.x, p.t.y, p.t.z}, {p.r.x, p.r.y, p.r.z, p.r.w}});
    }
    return out;
  };
}

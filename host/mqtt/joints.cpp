#include "host/mqtt/joints.h"

#include <stdexcept>

#include "host/motion/profile.h"

std::map<int, std::string> mq_joints(const std::string& profile)
{
  namespace mo = orvane::motion;
  try {
    std::map<int, std::string> out;
    for (const mo::joint& j : mo::profile_load(profile).joints)
      out[j.id] = j.name;
    return out;
  } catch (const mo::mo_errors& e) {
    std::string all = "--profile " + profile + ":";
    for (const std::string& line : e.list)
      all += "\n  " + line;
    throw std::runtime_error(e.list.empty() ? all + " " + e.what() : all);
  }
}

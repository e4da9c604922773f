// The motions of a build without the motion library (the robot's own build): none on offer.
#include <stdexcept>

#include "host/web/joints.h"
#include "host/web/motions.h"

struct web_motions::impl {};

web_motions::web_motions(const std::string&, const std::string&)
{
  throw std::runtime_error("this build of orvane-web cannot play motions; play them from a PC's "
                           "orvane-web or orvane-ctl");
}

bool web_motions::built()
{
  return false;
}

bool web_motions::good_name(const std::string&)
{
  return false;
}

std::vector<web_motion_info> web_motions::list() const
{
  return {};
}

bool web_motions::play(orvane::client&, const std::string& name, const std::atomic<bool>&,
                       const events&) const
{
  throw std::runtime_error("no motion named " + name);
}

std::string web_motions::preview(const std::string& name, const std::vector<std::pair<int, int>>&,
                                 int32_t) const
{
  throw std::invalid_argument("no motion named " + name);
}

web_joints web_joints_load(const std::string& path)
{
  throw std::runtime_error("--profile " + path + ": this build of orvane-web reads no profiles");
}

// The joint names of a build without the motion library: none.
#include <stdexcept>

#include "host/mqtt/joints.h"

std::map<int, std::string> mq_joints(const std::string&)
{
  throw std::runtime_error("this build of orvane-mqtt reads no profiles; run it on a PC for "
                           "joint names and motions");
}

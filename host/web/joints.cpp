#include "host/web/joints.h"

#include <algorithm>
#include <cstdio>

void web_name_joints(web_state& s, const web_joints& js)
{
  for (web_servo& sv : s.servos)
    for (const web_joint& j : js)
      if (j.id == sv.id) {
        sv.joint = j.name;
        sv.lo = j.lo;
        sv.hi = j.hi;
        sv.trim = j.trim;
        sv.reverse = j.reverse;
      }
  for (web_servo& sv : s.servos)
    sv.jog = web_jog_max(js, sv.id);
}

double web_jog_max(const web_joints& js, int id)
{
  for (const web_joint& j : js)
    if (j.id == id && j.speed > 0)
      return std::min(j.speed, web_jog_cap);
  return web_jog_cap;
}

const web_joint* web_joint_of(const web_joints& js, int id)
{
  for (const web_joint& j : js)
    if (j.id == id)
      return &j;
  return nullptr;
}

double web_joint_deg(const web_joint* j, double servo_deg)
{
  if (j == nullptr)
    return servo_deg;
  double d = servo_deg - j->trim;
  return j->reverse ? -d : d;
}

double web_servo_deg(const web_joint* j, double joint_deg)
{
  if (j == nullptr)
    return joint_deg;
  return (j->reverse ? -joint_deg : joint_deg) + j->trim;
}

std::string web_joints_check(const web_joints& js, const std::vector<std::pair<int, double>>& goals)
{
  for (auto [id, deg] : goals)
    for (const web_joint& j : js)
      if (j.id == id && (deg < j.lo - 1e-9 || deg > j.hi + 1e-9)) {
        char s[160];
        snprintf(s, sizeof s, "servo %d (%s) at %.1f degrees leaves the joint's limits: %.1f..%.1f", id,
                 j.name.c_str(), deg, j.lo, j.hi);
        return s;
      }
  return "";
}

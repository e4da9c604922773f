// A robot profile as the page uses it: joint names for servo ids, and the servo degrees each
// joint's soft limits allow. Loaded once at start, then read-only: any thread may read it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/web/state.h"

struct web_joint {
  int id = 0;
  std::string name;
  double lo = -150, hi = 150;  // servo degrees within the joint's limits and the servo's range
  double trim = 0;             // servo degrees at joint 0
  bool reverse = false;        // the servo turns the other way from the joint
  double speed = 0;            // top speed from the profile, degrees a second; 0: none
};
using web_joints = std::vector<web_joint>;

// The joints of a robot.yaml; throws std::runtime_error with every problem of the file (or,
// in a build without the motion library, because it cannot read profiles).
web_joints web_joints_load(const std::string& profile);
// How fast a page may jog servo `id`: its joint's top speed, and at most web_jog_cap.
constexpr double web_jog_cap = 60;  // degrees a second: a stick pushed all the way
double web_jog_max(const web_joints& j, int id);
// Names the state's servos after their joints and gives their limits.
void web_name_joints(web_state& s, const web_joints& j);
// The joint a servo id drives, or null when the profile has none (or there is no profile).
const web_joint* web_joint_of(const web_joints& j, int id);
// Joint degrees of a servo's degrees, and back; a servo with no joint is its own joint.
double web_joint_deg(const web_joint* j, double servo_deg);
double web_servo_deg(const web_joint* j, double joint_deg);
// Why a move to these goals (servo id, servo degrees) leaves a joint's limits; empty if none.
std::string web_joints_check(const web_joints& j, const std::vector<std::pair<int, double>>& goals);

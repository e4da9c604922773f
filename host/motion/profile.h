// Robot profiles: joint names mapped to servo ids, with trim, direction, soft, speed and
// acceleration limits, read from a robot.yaml file into the robot model. Pure data and
// conversions; no state, no I/O but reading the file; callable from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvane_model.h"

namespace orvane::motion {

// Every problem found in a file, one "FILE:LINE: FIELD: what is wrong" per entry.
struct mo_errors : std::runtime_error {
  explicit mo_errors(std::vector<std::string> l);
  std::vector<std::string> list;
};

constexpr double MO_DEG_LIMIT = 150.0;  // the servos' own range either side of centre
constexpr int MO_MAX_ID = 32;           // servos with a goal channel and a position word

// A profile is the robot model (orvane_model.h) read from a robot.yaml file.
using joint = orvane::joint;
using profile = orvane::robot_model;

profile profile_none();  // servo ids 1..32 as joints, raw degrees
profile profile_load(const std::string& path);  // throws mo_errors
profile profile_parse(const std::string& text, const std::string& file);

// Servo-side degrees of a joint angle, and the goal in the servos' 0.1-degree units.
double joint_servo_deg(const joint& j, double deg);
int16_t joint_units(const joint& j, double deg);
// The joint angle that a servo reading (0.1-degree units) stands for.
double joint_deg(const joint& j, int16_t units);
// Why an angle cannot be played on a joint, or empty if it can.
std::string joint_check(const joint& j, double deg);
std::string fmt_deg(double d);  // "12.5", "-3": degrees as a person writes them

}  // namespace orvane::motion

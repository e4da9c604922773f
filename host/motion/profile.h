// Robot profiles: joint names mapped to servo ids, with trim, direction and soft limits, read
// from a robot.yaml file. Pure data and conversions; no state, no I/O but reading the file;
// callable from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::motion {

// Every problem found in a file, one "FILE:LINE: FIELD: what is wrong" per entry.
struct mo_errors : std::runtime_error {
  explicit mo_errors(std::vector<std::string> l);
  std::vector<std::string> list;
};

constexpr double MO_DEG_LIMIT = 150.0;  // the servos' own range either side of centre
constexpr int MO_MAX_ID = 32;           // servos with a goal channel and a position word

struct joint {
  std::string name;
  int id = 0;            // servo id, 1..32
  double trim = 0;       // degrees added on the servo's side, after the direction
  bool reverse = false;  // the servo turns the other way from the joint
  double min = -MO_DEG_LIMIT, max = MO_DEG_LIMIT;  // soft limits, joint degrees
  double speed = 0;      // top speed in degrees a second; 0: none
  double accel = 0;      // top acceleration in degrees a second squared; 0: none
};

struct profile {
  std::string file;  // empty when there is no profile: the joints are the servo ids
  std::string robot;  // the robot's name for people, if the file gives one
  std::string urdf;   // the robot's description (URDF) it names, as a path from here; or empty
  std::vector<joint> joints;

  const joint* find(const std::string& name) const;
  const joint* by_id(int id) const;
};

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

// The robot model: one robot's joints (from a profile, or the servo ids themselves), degrees both
// ways, the names a person may give, the limits every goal is held to, and whether a position
// is a reading. Pure values and functions, callable from any thread. A client checks its moves,
// sets, writes and torque through the model it is given (client::use_model): that is the one
// guarded path every tool goes through. Reading a profile file is the motion library's
// (host/motion/profile.h), which fills a model.
//
// Stable as orvane.h is: names are added, never renamed or removed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvane.h"

namespace orvane {

// A joint and the servo that turns it. Joint degrees are what a person means, servo degrees what
// the servo is sent: servo = (reverse ? -joint : joint) + trim.
struct joint {
  std::string name;
  int id = 0;                                    // servo id, 1..32
  double trim = 0;                               // degrees added on the servo's side
  bool reverse = false;                          // the servo turns the other way from the joint
  double min = -degrees_max, max = degrees_max;  // soft limits, joint degrees
  double speed = 0;                              // top speed, degrees a second; 0: none
  double accel = 0;                              // top acceleration, degrees a second squared; 0: none
};

double servo_degrees(const joint& j, double joint_deg);
double joint_degrees(const joint& j, double servo_deg);
// "12.5", "-3", "135": degrees as a person writes them (at most two decimals).
std::string deg_text(double deg);

// No joint (or servo id) of that name; the message lists the names there are.
struct unknown_joint : out_of_range {
  unknown_joint(std::string name, const std::string& message);
  std::string name;
};
// Goals beyond a joint's soft limits or a servo's range, one line naming each joint, value and
// limits. Nothing has been sent when this is thrown.
struct beyond_limits : out_of_range {
  explicit beyond_limits(std::vector<std::string> refusals);
  std::vector<std::string> refusals;
};

// What a name a person gives stands for: an element of the map, shown in a joint's degrees when
// the name is the joint's ("elbow" its position, "elbow.goal" its goal).
struct named_field {
  field_ref ref;
  const joint* in_joint = nullptr;  // values are in this joint's degrees; nullptr: the field's own units
  std::string label;                // as given: "elbow.goal", "sv_pos.3", "tick_period"
};

// A servo's present position, as it may be shown or stored: a number only for a current reading.
struct position {
  reading_info reading;             // valid, or why there is no reading
  std::optional<double> servo_deg;  // the reading, in the servo's degrees
  std::optional<double> joint_deg;  // the same in its joint's degrees (servo degrees without one)
};

struct robot_model {
  std::string file;           // the profile it came from; empty: none, the joints are the servo ids
  std::string robot;          // the robot's name for people, if the profile gives one
  std::string urdf;           // the robot's description (URDF) the profile names, or empty
  std::vector<joint> joints;  // the profile's, in its order; without one, servos 1..32 as "1".."32"

  robot_model();  // no profile
  bool profiled() const { return !file.empty(); }

  const joint* find(std::string_view name) const;  // by joint name
  const joint* by_id(int id) const;                // the joint of a servo, or nullptr
  const joint* named(int id) const;                // the same, with a profile only: it has a name
  std::string names() const;                       // "base, shoulder, elbow"

  // The servo a person names: a joint's name, or a servo id 1..32. Throws unknown_joint
  // ("no such joint 'knee' (joints: base, shoulder, ...)") or out_of_range.
  int servo(std::string_view name) const;
  // A goal as a person gives it: a joint's name with the joint's degrees, or a servo id with
  // the servo's. Returns the servo and its degrees; throws unknown_joint, or out_of_range for an
  // angle that takes the servo beyond its range (the soft limits are the client's to check).
  std::pair<int, double> goal(std::string_view who, double deg) const;
  // A field by name, where a servo's index may be its joint's name ("sv_pos.elbow",
  // "servo.elbow.goal"); with a profile also "elbow" (its position), "elbow.goal" and
  // "elbow.torque". Throws unknown_field, unknown_joint or out_of_range.
  named_field field(std::string_view name) const;

  // Why servo `id` must not be sent the goal `units` (0.1 servo degrees): beyond the soft
  // limits of its joint, or beyond the servo's +-150 degrees. Empty when it may.
  std::string goal_refusal(int id, int16_t units) const;
  // The same for an angle of a joint, in its own degrees.
  std::string joint_refusal(const joint& j, double deg) const;
  // Why servo `id` must not start holding its goal `units` (torque on): the goal is beyond it.
  std::string torque_refusal(int id, int16_t goal_units) const;
  // Why writing `bytes` at `adr` into the map `now` (the whole map as it is, or at least its
  // bytes up to ip_out's end) must not go ahead: a goal channel's target or output set beyond
  // its servo's limits; a trigger that would start such a move; or a servo made to hold a goal
  // beyond them (its torque channel, sv_torque_on, the write list). A goal that does not change
  // is never refused, so holding a servo where it is always goes.
  std::vector<std::string> write_refusals(uint32_t adr, const std::vector<uint8_t>& bytes,
                                          const std::vector<uint8_t>& now) const;
  // The same for a change of several places at once: the map `now` and as it will be `after`
  // (with outputs where the change's moves end).
  std::vector<std::string> change_refusals(const std::vector<uint8_t>& now,
                                           const std::vector<uint8_t>& after) const;

  // A servo's position under the reading rule (reading_of), in both units.
  position position_of(const read_groups& g, const std::vector<int16_t>& pos, int id,
                       bool comm_on = true) const;
};

// Why a joint may not have this name (a number, a field's name, a dot, a blank); empty if it may.
std::string joint_name_problem(std::string_view name);

}  // namespace orvane

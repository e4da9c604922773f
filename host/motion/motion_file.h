// Motion files: keyframes with a duration and a pose in joint degrees, checked as a whole
// against a robot profile and resolved to interpolator channels. Pure; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/motion/profile.h"

namespace orvane::motion {

constexpr double MO_MAX_MS = 600000;  // ten minutes for one keyframe is surely a typing error
constexpr int MO_TORQUE_ON = 100;     // the torque value "on" stands for: full maximum torque

// Goal of a servo on channel id, its torque on channel 32 + id.
constexpr int mo_goal_ch(int id) { return id; }
constexpr int mo_torque_ch(int id) { return 32 + id; }

struct mo_target {
  uint8_t ch;     // interpolator channel
  int16_t value;  // target: 0.1 degree for a goal, maximum torque for a torque channel
  bool operator==(const mo_target&) const = default;
};

struct keyframe {
  int line = 0;          // where the keyframe starts in its file
  bool in_ticks = false; // duration given in ticks rather than milliseconds
  double amount = 0;     // the duration, in ms or ticks
  std::vector<std::pair<std::string, double>> pose;  // joint and degrees, in file order
  std::vector<std::pair<std::string, int>> torque;   // joint and maximum torque (0 is off)
  std::vector<mo_target> targets;                    // goal channels, then torque channels
};

struct motion {
  std::string file;
  std::string description;
  unsigned repeat = 1;
  std::vector<keyframe> frames;
};

// Reads and checks a whole motion; every problem found is in the mo_errors thrown.
motion motion_parse(const std::string& text, const std::string& file, const profile& p);
motion motion_load(const std::string& path, const profile& p);

// The motion as a file that motion_parse reads back (teach writes its keyframes this way).
std::string motion_text(const motion& m);

}  // namespace orvane::motion

// Playback planning: a checked motion becomes the list of interpolator moves that play it, each
// with at most 255 ticks (the trigger is one byte). Pure functions; callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/motion/motion_file.h"

namespace orvane::motion {

constexpr unsigned MO_MAX_TTIME = 255;
constexpr size_t MO_MAX_MOVES = 1000000;  // a plan longer than this is refused, not built
using mo_outputs = std::array<int16_t, 128>;  // a value per interpolator channel

struct plan_opts {
  int32_t tick_us = 16667;  // the map's tick_period
  double speed = 1.0;       // 2 plays twice as fast
  unsigned repeat = 0;      // 0: as often as the file says
};

struct mo_move {
  unsigned ticks = 0;              // 1..255
  std::vector<mo_target> targets;  // what is written before the trigger
  size_t frame = 0;                // keyframe index in the motion
  unsigned rep = 0;                // repetition, from 0
  unsigned part = 1, parts = 1;    // part of a keyframe split into several moves
};

// Ticks of a keyframe at this period and speed, never fewer than one.
unsigned frame_ticks(const keyframe& k, const plan_opts& o);
// The moves that play `m` from the channel values `start` (the outputs when playing begins).
// A keyframe without a pose holds the motion's channels where they are for its time.
// A keyframe longer than 255 ticks is split into equal parts whose intermediate targets lie on
// its straight line, so its path and its total time stay what the file says. Throws mo_errors
// for options it cannot plan with.
std::vector<mo_move> plan(const motion& m, const plan_opts& o, const mo_outputs& start);
unsigned plan_ticks(const std::vector<mo_move>& moves);  // total, the sum of every move's ticks
// One line of a dry run: "keyframe 2 part 1/3 (line 14)  255 ticks  servo.1.goal=450 ...".
std::string move_line(const motion& m, const mo_move& mv);
std::string ch_name(unsigned ch);  // servo.N.goal, servo.N.torque, led.a.N, led.b.N or ip.N

}  // namespace orvane::motion

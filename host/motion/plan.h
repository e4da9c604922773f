// Playback planning: a checked motion becomes the list of interpolator moves that play it, each
// with at most 255 ticks (the trigger is one byte), eased keyframes as short moves along their
// curve. Pure functions; callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/motion/curve.h"

namespace orvane::motion {

struct mo_move {
  unsigned ticks = 0;              // 1..255
  std::vector<mo_target> targets;  // what is written before the trigger
  size_t frame = 0;                // keyframe index in the motion
  unsigned rep = 0;                // repetition, from 0
  unsigned part = 1, parts = 1;    // part of a keyframe split into several moves
};

// The moves that play `m` from the channel values `start` (the outputs when playing begins).
// A keyframe without a pose holds the motion's channels where they are for its time.
// A keyframe longer than 255 ticks is split into equal parts whose intermediate targets lie on
// its straight line, so its path and its total time stay what the file says. An eased keyframe
// is played as moves of o.seg ticks whose targets lie on its curve. Every keyframe's last move
// ends exactly on its pose. Throws mo_errors for options it cannot plan with.
std::vector<mo_move> plan(const motion& m, const plan_opts& o, const mo_outputs& start);
std::vector<mo_move> plan(const std::vector<mo_span>& spans, unsigned seg);
// The outputs the daemon's interpolator gives channel `ch` on each pass of these moves (its own
// fixed-point steps), from `start`: one value per planned tick.
std::vector<int16_t> plan_outputs(const std::vector<mo_move>& moves, int16_t start, uint8_t ch);
unsigned plan_ticks(const std::vector<mo_move>& moves);  // total, the sum of every move's ticks
// One line of a dry run: "keyframe 2 part 1/3 (line 14)  255 ticks  servo.1.goal=450 ...".
std::string move_line(const motion& m, const mo_move& mv);
std::string ch_name(unsigned ch);  // servo.N.goal, servo.N.torque, led.a.N, led.b.N or ip.N

}  // namespace orvane::motion

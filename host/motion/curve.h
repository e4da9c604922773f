// The planned curve of a motion: each keyframe as played (a span of ticks) with every channel's
// path through it, a straight line, a minimum-jerk transition or a piece of a shape-preserving
// cubic through the poses. The player samples it into moves. Pure; callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/motion/motion_file.h"

namespace orvane::motion {

constexpr unsigned MO_MAX_TTIME = 255;
constexpr size_t MO_MAX_MOVES = 1000000;  // a plan longer than this is refused, not built
using mo_outputs = std::array<int16_t, 128>;  // a value per interpolator channel

// Eased keyframes are played as straight moves of this many ticks. Measured on the wave (smooth,
// orvane-sim, docs/motions.md): 3 ticks kept the goals within 1.25 degrees of the curve (RMS 0.17)
// at 550 requests a second; 2 ticks lost passes between moves (4.4 degrees), 4 doubled the
// deviation, 1 lost a pass after every move.
constexpr unsigned MO_SEG_TICKS = 3;

struct plan_opts {
  int32_t tick_us = 16667;  // the map's tick_period
  double speed = 1.0;       // 2 plays twice as fast
  unsigned repeat = 0;      // 0: as often as the file says
  unsigned seg = MO_SEG_TICKS;  // ticks of a straight move along an eased keyframe
};

struct mo_path {
  uint8_t ch;
  mo_ease ease;            // linear for anything but a goal channel
  double from, to;         // channel values at the span's ends
  double v0 = 0, v1 = 0;   // spline: slopes at the ends, units a tick
};

struct mo_span {
  size_t frame = 0;       // keyframe index in the motion
  unsigned rep = 0;       // repetition, from 0
  unsigned t0 = 0;        // ticks from the start of the motion
  unsigned ticks = 0;     // its length, at least 1
  mo_ease ease = mo_ease::linear;
  std::vector<mo_path> paths;  // the channels it moves, in target order
};

// Ticks of a keyframe at this period and speed, never fewer than one.
unsigned frame_ticks(const keyframe& k, const plan_opts& o);
// Moves that play a span of `ticks`: as few as fit in the trigger byte for a straight line,
// one per `seg` ticks for an eased one.
unsigned span_moves(mo_ease e, unsigned ticks, unsigned seg);
// Every keyframe as played, repetitions included, from the channel values `start`. A keyframe
// without a pose holds every channel of the motion. Throws mo_errors for options it cannot use.
std::vector<mo_span> plan_spans(const motion& m, const plan_opts& o, const mo_outputs& start);
// A path's value, speed (units a tick) and acceleration (units a tick squared), t ticks into its
// span of `ticks`.
double path_at(const mo_path& p, unsigned ticks, double t);
double path_speed(const mo_path& p, unsigned ticks, double t);
double path_accel(const mo_path& p, unsigned ticks, double t);

}  // namespace orvane::motion

// Keyframes fitted to a sampled path: the fewest keyframes, each with its own ease, whose curve as
// the player sends it (the planner's moves and the interpolator's own steps) stays within a
// tolerance of every sample. Pure; callable from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "host/motion/plan.h"

namespace orvane::motion {

// One interpolator channel's samples, in its own units; `have` is false where there is no reading.
struct fit_track {
  uint8_t ch = 0;
  std::vector<int16_t> v;
  std::vector<bool> have;
};

struct fit_input {
  std::vector<int64_t> t;  // ticks since the first sample, rising
  std::vector<fit_track> tracks;
};

struct fit_result {
  std::vector<size_t> keys;    // sample indices, the first and the last included
  std::vector<mo_ease> eases;  // ease of the keyframe that ends at keys[k + 1]
  double worst = 0;            // largest distance from a sample, in the channels' units
};

constexpr int64_t FIT_MAX_TICKS = 36000;  // a keyframe of a motion file lasts at most 10 minutes
// Keyframes are at least this far apart: the player cannot start a move of one tick without
// losing a pass (it waits for the pass after the one that takes a trigger).
constexpr int64_t FIT_MIN_TICKS = 2;

// Splits at the sample of worst error until every keyframe fits with a straight or smooth ease,
// keeping keyframes at least `seg` ticks apart, then drops every keyframe whose neighbours can
// take its place, eased as a spline, smooth or straight, still within `tol`.
fit_result fit_keyframes(const fit_input& in, double tol, unsigned seg);
// Every channel's value at sample i: its reading, or one drawn between the readings either side.
std::vector<int16_t> fit_pose(const fit_input& in, size_t i);
// The largest distance of the outputs of these moves, played from `start`, from any sample;
// sample i is compared with the output of tick `offset + t[i]`.
double fit_deviation(const fit_input& in, const std::vector<mo_move>& moves, const mo_outputs& start, int64_t offset);

}  // namespace orvane::motion

// The planned curve of a motion as a page draws it: every joint's planned position, sampled from
// the motion library's plan, with its keyframes, and the pass the plan's tick 0 stands for. Made
// once when a motion starts, on the player's thread. Pure; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvane_model.h"
#include "host/motion/curve.h"

// At most this many samples in all joints' curves together: a long motion is sampled every few
// ticks (some 150 KiB of JSON at most), so that one message carries it.
constexpr size_t web_plan_points = 20000;

// {"serial", "first_pass", "tick_period", "ticks", "every", "joints": [{"id", "v": [degrees
// every `every` ticks from tick 0, the last tick included], "keys": [[tick, degrees], ...]}]},
// in the degrees the page's plots show: a joint's of `model`, or the servo's.
std::string web_plan_json(const std::vector<orvane::motion::mo_span>& spans,
                          const orvane::motion::mo_outputs& start, uint32_t first_pass,
                          int32_t tick_us, uint64_t serial,
                          const orvane::robot_model& model = orvane::robot_model(),
                          size_t points = web_plan_points);

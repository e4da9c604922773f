// Recording: map fields sampled once per control-loop pass that a poll sees, with loop_count
// and host time, written as CSV. At most one poll per tick, so a recording does not disturb the
// robot. Runs on the caller's thread with the caller's client.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "orvane.h"

namespace orvane::motion {

struct rec_column {
  std::string label;  // CSV header: "servo.3.goal", "sv_pos.3", "sw_in.0"
  field_ref ref;
  bool degrees;       // a 0.1-degree field, written in degrees; 0x8000 as an empty cell
};

struct record_result {
  size_t rows = 0;        // passes seen, one row each
  size_t polls = 0;
  uint32_t first = 0, last = 0;  // loop_count of the first and the last row
  uint64_t missed = 0;    // passes between rows that no poll saw
  size_t gaps = 0;        // places where passes were missed
  std::vector<size_t> empty;  // per column: rows without a reading (0x8000 in a position)
};

// One pass that a poll saw: the map image (only the ranges polled are current), its
// loop_count, the passes missed since the pass before, and host time since the start.
struct rec_pass {
  const std::vector<uint8_t>& img;
  uint32_t count, gap;
  double t;
};
// Reads the ranges (offset, length) once per control-loop pass until `seconds` have passed or
// `stop` is set, and hands each pass seen to `on_pass`, which may end it by returning false.
// Fills everything but `empty`.
record_result record_passes(client& c, const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                            double seconds, const std::atomic<bool>* stop,
                            const std::function<bool(const rec_pass&)>& on_pass);

// The columns for field names ("sv_pos.3", "servo.2.goal", "sw_in"); an array without an index
// gives all its elements. With no names: each write-list servo's goal and position, and the
// switches. Throws unknown_field or out_of_range for a bad name.
std::vector<rec_column> record_columns(client& c, const std::vector<std::string>& names);
// Writes the header and one row per pass seen until `seconds` have passed or `stop` is set.
record_result record(client& c, const std::vector<rec_column>& cols, double seconds,
                     std::ostream& out, const std::atomic<bool>* stop = nullptr);

}  // namespace orvane::motion

#include "host/mirror/rules.h"

#include <algorithm>

#include "orvane.h"

namespace orvane::mirror {

namespace {

constexpr int group_bytes = 16;

int16_t word(const int16_t* pos, int id)
{
  return id >= 1 && id <= servo_max ? pos[id - 1] : no_reading;
}

}  // namespace

reading reading_at(const uint8_t* groups, const int16_t* pos, bool comm_on, int id, int* blocker)
{
  // The first group that asks it decides; a group stops at its first servo that fails.
  reading best = reading::no_group;
  int best_blocker = 0;
  for (int g = 0; g < group_count; g++) {
    const uint8_t* at = groups + static_cast<ptrdiff_t>(g) * group_bytes;
    if (at[0] != 1)
      continue;
    int n = std::min<int>(at[1], group_room);
    int stop = 0;
    bool found = false;
    for (int k = 0; k < n && !found; k++) {
      int sid = at[2 + k];
      if (sid == id)
        found = true;
      else if (!stop && sid >= 1 && sid <= servo_max && word(pos, sid) == no_reading)
        stop = sid;
    }
    if (!found)
      continue;
    reading r = reading::valid;
    if (!comm_on)
      r = reading::comm_off;
    else if (stop)
      r = reading::behind;
    else if (word(pos, id) == no_reading)
      r = reading::silent;
    else if (word(pos, id) == not_read_yet)
      r = reading::never_read;
    if (best == reading::no_group || (best == reading::behind && !stop)) {
      best = r;
      best_blocker = r == reading::behind ? stop : 0;
    }
  }
  if (blocker)
    *blocker = best_blocker;
  return best;
}

const char* reading_text(reading r)
{
  switch (r) {
    case reading::valid:
      return "valid";
    case reading::no_group:
      return "in no read group";
    case reading::silent:
      return "silent";
    case reading::behind:
      return "behind a silent servo";
    case reading::never_read:
      return "not read yet";
    case reading::comm_off:
      return "servo traffic is off (sv_comm_on 0)";
  }
  return "";
}

double joint_of(const joint& j, int16_t units)
{
  return motion::joint_deg(j, units);
}

int16_t units_of(const joint& j, double deg)
{
  return motion::joint_units(j, deg);
}

range joint_range(const joint& j)
{
  double lo = j.reverse ? j.trim - degrees_max : -degrees_max - j.trim;
  double hi = j.reverse ? j.trim + degrees_max : degrees_max - j.trim;
  return {std::max(lo, j.min), std::min(hi, j.max)};
}

}  // namespace orvane::mirror

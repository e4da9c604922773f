// Long moves as chains of triggers: pure arithmetic, callable from any thread.
#include <cmath>

#include "orvane.h"

namespace orvane {

int move_split::end_of(int part) const
{
  return static_cast<int>(int64_t{ticks} * part / parts());
}

// The straight line in doubles, rounded to the nearest unit; the last part lands on `to` exactly.
int16_t move_split::target(int16_t from, int16_t to, int part) const
{
  if (part >= parts())
    return to;
  double at = from + (static_cast<double>(to) - from) * end_of(part) / ticks;
  return static_cast<int16_t>(std::lround(at));
}

}  // namespace orvane

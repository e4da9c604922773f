// The robot's rules as the mirroring loop applies them every tick: whether a servo's position is
// a current reading, joint degrees both ways, and the angles a joint's goal may take. The one
// seam between mirroring and the robot model: the rules are the model's, written here over the
// map's raw bytes so that the loop neither allocates nor locks. Pure; callable from any thread.
#pragma once

#include <cstdint>

#include "host/mirror/pairs.h"

namespace orvane::mirror {

// Why a servo has, or lacks, a current reading (the robot model's reading rule).
enum class reading {
  valid,       // asked every turn of its group, and its word holds its answer
  no_group,    // in no polled group: nobody asks it, whatever its word holds
  silent,      // asked, and it did not answer (0x8000)
  behind,      // behind a servo of its group that did not answer: not asked
  never_read,  // in a group, not asked yet since it joined (0x7FFF)
  comm_off,    // sv_comm_on is 0: nobody is asked
};
constexpr int16_t not_read_yet = INT16_MAX;  // sv_pos of a servo a host has just put in a group

// From the 64 bytes of rd_group, the 32 sv_pos words (servo 1 first) and sv_comm_on. *blocker
// gets the silent servo before it when it is behind one.
reading reading_at(const uint8_t* groups, const int16_t* pos, bool comm_on, int id, int* blocker);
const char* reading_text(reading r);  // "in no read group", "silent", ...

// Joint degrees of a servo's position (0.1-degree units), and the units of a joint angle.
double joint_of(const joint& j, int16_t units);
int16_t units_of(const joint& j, double deg);
// The joint angles a goal may take: the soft limits, within the servo's own -150..150 degrees.
struct range {
  double lo, hi;
};
range joint_range(const joint& j);

}  // namespace orvane::mirror

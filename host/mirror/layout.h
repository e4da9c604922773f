// The read groups while mirroring. The daemon polls one group a tick, so the leader's servos go
// into every group that is used, as few as `room` servos a group allow: each is then read every
// tick, or every second tick when they need two groups. Other servos to read (a follower on the
// same bus) take the room that is left, in as many more turns as the four groups allow. Pure.
#pragma once

#include <vector>

#include "orvane.h"

namespace orvane::mirror {

struct layout {
  read_groups groups;
  int leader_every = 1;     // ticks between two readings of a leader servo
  int others_every = 0;     // ticks between two readings of the others; 0: none
  std::vector<int> unread;  // others for which no room was left
};

// `room`: servos a group may hold within a tick (groups_room). Throws out_of_range when the
// leader's servos do not fit the four groups even so.
layout mirror_layout(const std::vector<int>& leader, const std::vector<int>& others, int room);

}  // namespace orvane::mirror

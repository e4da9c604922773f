// Recording while mirroring: one CSV row per follower pass the loop saw, in the columns of
// orvane-ctl record (time_s, loop_count, gap, then each follower servo's goal and position in
// degrees, an empty cell for no reading), followed by the leader's positions as leader.sv_pos.N.
// record2motion takes only the sv_pos.N columns, so the recording becomes a motion of the
// follower. Owned by the mirroring loop's thread; writes through the caller's FILE.
#pragma once

#include <cstdio>
#include <vector>

#include "host/mirror/session.h"

namespace orvane::mirror {

class csv_recorder {
 public:
  csv_recorder(FILE* f, const std::vector<pair>& pairs);  // writes the header at once
  void row(const sample& s);                               // allocates nothing
  size_t rows() const { return rows_; }
  uint64_t missed() const { return missed_; }

 private:
  FILE* f_;
  std::vector<pair> pairs_;
  size_t rows_ = 0;
  uint64_t missed_ = 0;
  double t0_ = -1;
};

}  // namespace orvane::mirror

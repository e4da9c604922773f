// The map's offsets that mirroring reads and writes, taken once from the field table (the host
// side knows the map only through host/client/fields.tsv). Read-only after the first call; any
// thread.
#pragma once

#include <cstdint>

namespace orvane::mirror {

struct map_at {
  uint32_t tick_period, sv_torque_on, sv_comm_on, loop_count, wr_count, rd_group;
  uint32_t ip_target, ip_enable, ttime, ip_out, ip_count, sv_pos;
  // What the loop reads of a robot, one dump each: the head, from tick_period to the end of the
  // read groups (loop_count and the write list inside it), and the tail, from ttime to the end
  // of sv_pos (every output, move count and position).
  uint32_t head_from, head_n, tail_from, tail_n;
};
const map_at& at();

inline int16_t word16(const uint8_t* b) { return static_cast<int16_t>(b[0] | b[1] << 8); }
inline uint32_t word32(const uint8_t* b)
{
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

}  // namespace orvane::mirror

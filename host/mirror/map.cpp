#include "host/mirror/map.h"

#include <stdexcept>

#include "orvane.h"

namespace orvane::mirror {

namespace {

map_at build()
{
  auto off = [](const char* name, int index = -1) {
    return index < 0 ? resolve(name).offset : resolve(name, index).offset;
  };
  map_at a{};
  a.tick_period = off("tick_period");
  a.sv_torque_on = off("sv_torque_on");
  a.sv_comm_on = off("sv_comm_on");
  a.loop_count = off("loop_count");
  a.wr_count = off("wr_count");
  a.rd_group = off("rd_group", 0);
  a.ip_target = off("ip_target", 0);
  a.ip_enable = off("ip_enable", 0);
  a.ttime = off("ttime");
  a.ip_out = off("ip_out", 0);
  a.ip_count = off("ip_count", 0);
  a.sv_pos = off("sv_pos", 1);
  a.head_from = a.tick_period;
  a.head_n = a.rd_group + group_count * 16 - a.head_from;
  a.tail_from = a.ttime;
  a.tail_n = a.sv_pos + 2 * servo_max - a.tail_from;
  // An answer without a text column fits the daemon's line of 2048 bytes up to 679 bytes.
  if (a.loop_count < a.head_from || a.wr_count < a.head_from || a.ip_out < a.tail_from || a.head_n > 679 ||
      a.tail_n > 679)
    throw std::logic_error("the map's layout does not suit mirroring's two reads");
  return a;
}

}  // namespace

const map_at& at()
{
  static const map_at a = build();
  return a;
}

}  // namespace orvane::mirror

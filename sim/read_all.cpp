#include "sim/read_all.h"

#include <algorithm>
#include <cstring>

#include "sim/servo_chain.h"
#include "sim/servo_model.h"

// Share of the tick that a cycle's line time may take: the servo thread also needs time to wake
// and to read, and a cycle that outlasts its tick costs the next tick's exchange.
constexpr int64_t SIM_RD_BUDGET_PCT = 80;

unsigned sim_read_layout(const uint8_t* ids, unsigned n, unsigned wr_count, int32_t tick_us,
                         uint8_t (&groups)[SIM_RD_BYTES])
{
  uint8_t kept[MAP_SV_IDS];
  unsigned m = 0;
  bool seen[MAP_SV_IDS + 1] = {};
  for (unsigned i = 0; i < n; i++)
    if (ids[i] >= 1 && ids[i] <= MAP_SV_IDS && !seen[ids[i]]) {
      seen[ids[i]] = true;
      kept[m++] = ids[i];
    }
  if (m == 0)
    return 0;

  // Line time: the two long packets (16 + 6 bytes a servo of the write list), then 8 bytes out
  // and 10 back for each servo asked, which answers after its return delay.
  wr_count = std::min(wr_count, MAP_WR_ROOM);
  int64_t budget = int64_t{tick_us} * 1000 * SIM_RD_BUDGET_PCT / 100;
  int64_t longs = (16 + 6 * int64_t{wr_count}) * servo_chain::BYTE_NS;
  int64_t per = 18 * servo_chain::BYTE_NS + servo_model::RETURN_NS;
  int64_t fit = std::clamp<int64_t>((budget - longs) / per, 1, MAP_RD_ROOM);
  unsigned used = std::min<unsigned>(MAP_RD_GROUPS, (m + fit - 1) / fit);

  memset(groups, 0, sizeof groups);
  unsigned next = 0;
  for (unsigned g = 0; g < used; g++) {
    unsigned count = m / used + (g < m % used ? 1 : 0);
    uint8_t* grp = groups + g * MAP_RD_GROUP_SIZE;
    grp[0] = 1;
    grp[1] = static_cast<uint8_t>(count);
    memcpy(grp + 2, kept + next, count);
    next += count;
  }
  return used;
}

// Runs on the initial image, while the servo thread may be polling group 0 (servo 1): a group's
// ids go in before its count and its enable byte, so a cycle meanwhile asks only listed servos.
void sim_read_all()
{
  uint8_t ids[MAP_WR_ROOM];
  unsigned n = std::min<unsigned>(mem_r8(MAP_WR_COUNT), MAP_WR_ROOM);
  for (unsigned i = 0; i < n; i++)
    ids[i] = mem_r8(MAP_WR_IDS + i);
  uint8_t groups[SIM_RD_BYTES];
  if (sim_read_layout(ids, n, n, mem_r32(MAP_TICK_PERIOD), groups) == 0)
    return;
  for (unsigned g = 0; g < MAP_RD_GROUPS; g++) {
    uint32_t at = MAP_RD_GROUP + g * MAP_RD_GROUP_SIZE;
    const uint8_t* grp = groups + g * MAP_RD_GROUP_SIZE;
    if (grp[0] == 0)
      mem_w8(at, 0);
    for (unsigned i = 2; i < MAP_RD_GROUP_SIZE; i++)
      mem_w8(at + i, grp[i]);
    mem_w8(at + 1, grp[1]);
    mem_w8(at, grp[0]);
  }
}

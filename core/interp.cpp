#include "core/interp.h"

#include "core/map.h"

ip_channel ipbuf[MAP_CHANNELS];

void ip_reset()
{
  for (uint32_t i = 0; i < MAP_CHANNELS; i++) {
    ipbuf[i] = {0, 0, 0};
    mem_w8(MAP_IP_COUNT + i, 0);
  }
}

// Wrapping add: a host may write ip_count, so steps can be taken more often than a move planned.
static int32_t wrap_add(int32_t a, int32_t b)
{
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

static void ip_start(uint8_t ttime)
{
  for (uint32_t i = 0; i < MAP_CHANNELS; i++) {
    if (mem_r8(MAP_IP_ENABLE + i) == 0)
      continue;
    ip_channel& c = ipbuf[i];
    mem_w8(MAP_IP_COUNT + i, ttime);
    c.tpos = mem_r16(MAP_IP_TARGET + 2 * i) * 256;
    c.spd = static_cast<int32_t>((int64_t{c.tpos} - c.cpos) / ttime);
  }
}

void mem_proc0()
{
  uint8_t ttime = mem_r8(MAP_TTIME);
  if (ttime != 0) {
    mem_w8(MAP_TTIME, 0);
    ip_start(ttime);
  }
  for (uint32_t i = 0; i < MAP_CHANNELS; i++) {
    ip_channel& c = ipbuf[i];
    uint8_t count = mem_r8(MAP_IP_COUNT + i);
    if (count != 0) {
      count--;
      mem_w8(MAP_IP_COUNT + i, count);
      // The last step lands on the target, so truncated steps never leave a move short.
      c.cpos = count == 0 ? c.tpos : wrap_add(c.cpos, c.spd);
    }
    mem_w16(MAP_IP_OUT + 2 * i, static_cast<uint16_t>(c.cpos >> 8));
  }
}

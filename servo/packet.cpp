#include "servo/packet.h"

int futaba_csum(const uint8_t* p, const uint8_t* q)
{
  int sum = 0;
  for (; p < q; p++)
    sum ^= *p;
  return sum;
}

static uint8_t* sv_long_begin(uint8_t* p, uint8_t addr, uint8_t n)
{
  p[0] = 0xFA;
  p[1] = 0xAF;
  p[2] = 0x00;  // broadcast: each entry names its servo
  p[3] = 0x00;
  p[4] = addr;
  p[5] = 0x03;  // an entry is the id and two data bytes
  p[6] = n;
  return p + SV_LONG_HEAD;
}

// The on/off byte follows the whole value, so 0x0100 means maximum torque 0 with torque on.
static uint8_t* sv_torque_entry(uint8_t* p, sv_entry e, bool torque_on)
{
  p[0] = e.id;
  p[1] = torque_on ? static_cast<uint8_t>(e.value) : 0;
  p[2] = torque_on && e.value != 0 ? 1 : 0;
  return p + 3;
}

static uint8_t* sv_goal_entry(uint8_t* p, sv_entry e)
{
  uint16_t v = static_cast<uint16_t>(e.value);
  p[0] = e.id;
  p[1] = static_cast<uint8_t>(v);
  p[2] = static_cast<uint8_t>(v >> 8);
  return p + 3;
}

// Writes the checksum of the packet that starts at `pkt` and ends before `p`.
static uint8_t* sv_long_end(uint8_t* pkt, uint8_t* p)
{
  *p = static_cast<uint8_t>(futaba_csum(pkt + 2, p));
  return p + 1;
}

size_t sv_build_longs(uint8_t* buf, size_t n, bool torque_on, sv_source src)
{
  if (n > SV_LONG_MAX)
    n = SV_LONG_MAX;
  uint32_t count = static_cast<uint32_t>(n);
  uint8_t* p = sv_long_begin(buf, SV_REG_TORQUE, static_cast<uint8_t>(count));
  for (uint32_t i = 0; i < count; i++)
    p = sv_torque_entry(p, src.entry(src.ctx, i, SV_REG_TORQUE), torque_on);
  p = sv_long_end(buf, p);
  uint8_t* pkt = p;
  p = sv_long_begin(pkt, SV_REG_GOAL, static_cast<uint8_t>(count));
  for (uint32_t i = 0; i < count; i++)
    p = sv_goal_entry(p, src.entry(src.ctx, i, SV_REG_GOAL));
  p = sv_long_end(pkt, p);
  return static_cast<size_t>(p - buf);
}

size_t sv_build_query(uint8_t* buf, uint8_t id)
{
  buf[0] = 0xFA;
  buf[1] = 0xAF;
  buf[2] = id;
  buf[3] = 0x0F;  // answer with `length` register bytes from `address`
  buf[4] = SV_REG_POS;
  buf[5] = 0x02;
  buf[6] = 0x00;
  buf[7] = static_cast<uint8_t>(futaba_csum(buf + 2, buf + 7));
  return SV_QUERY_LEN;
}

// The flags byte is not compared; it only enters the checksum.
bool sv_accept_reply(const uint8_t* buf, ssize_t got, uint8_t id, uint16_t* pos)
{
  if (got != static_cast<ssize_t>(SV_REPLY_LEN))
    return false;
  if (buf[0] != 0xFD || buf[1] != 0xDF || buf[2] != id || buf[6] != 0x01)
    return false;
  if (buf[9] != futaba_csum(buf + 2, buf + 9))
    return false;
  if (buf[4] != SV_REG_POS || buf[5] != 0x02)
    return false;
  *pos = static_cast<uint16_t>(buf[8] << 8 | buf[7]);
  return true;
}

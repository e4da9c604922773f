#include "sim/servo_model.h"

#include <algorithm>

static uint8_t xor_sum(const uint8_t* p, size_t n)
{
  uint8_t s = 0;
  for (size_t i = 0; i < n; i++)
    s ^= p[i];
  return s;
}

static int16_t rounded(double pos) { return static_cast<int16_t>(pos >= 0 ? pos + 0.5 : pos - 0.5); }

servo_model::servo_model(const std::vector<uint8_t>& ids, int64_t now)
{
  for (uint8_t id : ids) {
    if (find(id))
      continue;
    servo sv{};
    sv.id = id;
    sv.moved_ns = now;
    servos_.push_back(sv);
  }
}

// Packets are FA AF id flags address length count, count entries of length bytes, checksum;
// a query has count 0.
bool servo_model::hear(uint8_t b, int64_t t, sv_reply* r)
{
  r->n = 0;
  if (rx_.empty() && b != 0xFA)
    return false;
  if (rx_.size() == 1 && b != 0xAF) {
    rx_.clear();
    if (b == 0xFA)
      rx_.push_back(b);
    return false;
  }
  rx_.push_back(b);
  if (rx_.size() < 7)
    return false;
  size_t total = 8 + static_cast<size_t>(rx_[5]) * rx_[6];
  if (rx_.size() != total)
    return false;
  done_.swap(rx_);
  rx_.clear();
  packet_done(t, r);
  return true;
}

// A broadcast (id 0) writes each entry's bytes into the servo it names; a query (flags 0F, no
// entries) is answered; a single write (flags 0, one entry) goes into the named servo.
void servo_model::packet_done(int64_t t, sv_reply* r)
{
  const std::vector<uint8_t>& pkt = done_;
  size_t n = pkt.size();
  if (pkt[n - 1] != xor_sum(&pkt[2], n - 3))
    return;
  uint8_t id = pkt[2], flags = pkt[3], addr = pkt[4], len = pkt[5], cnt = pkt[6];
  if (id == 0) {
    for (size_t e = 0; e < cnt && len > 0; e++) {
      const uint8_t* ent = &pkt[7 + e * len];
      servo* s = find(ent[0]);
      if (!s)
        continue;
      move(*s, t);
      for (size_t k = 1; k < len && addr + k - 1 < VS_MEMORY; k++)
        s->reg[addr + k - 1] = ent[k];
    }
    return;
  }
  servo* s = find(id);
  if (!s)
    return;
  move(*s, t);
  if (flags == 0x0F && cnt == 0) {
    if (on_query)
      on_query(id);
    answer(*s, t, r);
  } else if (flags == 0 && cnt == 1) {
    for (size_t k = 0; k < len && addr + k < VS_MEMORY; k++)
      s->reg[addr + k] = pkt[7 + k];
  }
}

// The reply to a query: FD DF id flags address length 01, the asked register bytes, checksum.
void servo_model::answer(servo& s, int64_t t, sv_reply* r)
{
  sv_fault f = s.fault;
  if (s.fault_left > 0 && --s.fault_left == 0)
    s.fault = sv_fault::none;
  if (f == sv_fault::silent)
    return;
  auto pos = static_cast<uint16_t>(rounded(s.pos));
  s.reg[VS_PRESENT_POSITION] = static_cast<uint8_t>(pos);
  s.reg[VS_PRESENT_POSITION + 1] = static_cast<uint8_t>(pos >> 8);
  uint8_t addr = done_[4], len = done_[5];
  uint8_t* b = r->bytes;
  size_t n = 0;
  b[n++] = 0xFD;
  b[n++] = 0xDF;
  b[n++] = f == sv_fault::other_id ? static_cast<uint8_t>(s.id + 1) : s.id;
  b[n++] = 0x00;
  b[n++] = addr;
  b[n++] = len;
  b[n++] = 0x01;
  for (size_t k = 0; k < len; k++)
    b[n++] = addr + k < VS_MEMORY ? s.reg[addr + k] : 0;
  b[n] = xor_sum(&b[2], n - 2);
  if (f == sv_fault::bad_csum)
    b[n] ^= 0x01;
  n++;
  if (f == sv_fault::short_reply)
    n--;
  s.replies++;
  r->n = n;
  r->held = f == sv_fault::late_reply;
  r->t = t + (r->held ? LATE_NS : RETURN_NS);
}

int16_t servo_model::word(const servo& s, uint8_t reg) const
{
  return static_cast<int16_t>(s.reg[reg] | s.reg[reg + 1] << 8);
}

// With torque on the servo heads for its goal (within its range) at a bounded speed. Its clock
// never runs backwards: the line hands over each byte at its wire time, which may lie ahead of
// the time servos() and state() are asked at, and a negative step would push a servo resting at
// its goal past it.
void servo_model::move(servo& s, int64_t now)
{
  if (now <= s.moved_ns)
    return;
  if (s.reg[VS_TORQUE_ENABLE] != 0) {
    double goal = std::clamp<int>(word(s, VS_GOAL_POSITION), -POS_LIMIT, POS_LIMIT);
    double step = SPEED * static_cast<double>(now - s.moved_ns) / 1e9;
    if (s.pos < goal)
      s.pos = std::min(s.pos + step, goal);
    else
      s.pos = std::max(s.pos - step, goal);
  }
  s.moved_ns = now;
}

servo_model::servo* servo_model::find(uint8_t id)
{
  for (auto& s : servos_)
    if (s.id == id)
      return &s;
  return nullptr;
}

sv_state servo_model::view(servo& s, int64_t now)
{
  move(s, now);
  sv_state v{};
  v.id = s.id;
  v.goal = word(s, VS_GOAL_POSITION);
  v.max_torque = s.reg[VS_TORQUE_LIMIT];
  v.torque = s.reg[VS_TORQUE_ENABLE];
  v.pos = rounded(s.pos);
  v.fault = s.fault;
  v.replies = s.replies;
  return v;
}

std::vector<sv_state> servo_model::servos(int64_t now)
{
  std::vector<sv_state> v;
  for (auto& s : servos_)
    v.push_back(view(s, now));
  return v;
}

bool servo_model::state(uint8_t id, int64_t now, sv_state* out)
{
  servo* s = find(id);
  if (!s)
    return false;
  *out = view(*s, now);
  return true;
}

bool servo_model::place(uint8_t id, int16_t pos, int64_t now)
{
  servo* s = find(id);
  if (!s)
    return false;
  s->pos = std::clamp<int>(pos, -POS_LIMIT, POS_LIMIT);
  s->moved_ns = now;
  return true;
}

bool servo_model::fault(uint8_t id, sv_fault f, int times)
{
  servo* s = find(id);
  if (!s)
    return false;
  s->fault = times == 0 ? sv_fault::none : f;
  s->fault_left = times;
  return true;
}

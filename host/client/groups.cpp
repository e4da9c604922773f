// The read groups: decoding, laying out and explaining them, and the client's calls on them.
// Pure helpers, and client members that go through the public read and write only.
#include <algorithm>

#include "orvane.h"

namespace orvane {

namespace {

constexpr uint32_t rd_group = 0x00C0, group_size = 16, sv_pos = 0x0D80;
constexpr int64_t query_us = 1750;  // 8 bytes out, 10 back, and the servo's answer delay
constexpr int64_t byte_us = 87;     // one byte at 115200 baud with start and stop bits

}  // namespace

read_groups groups_decode(const std::vector<uint8_t>& b)
{
  if (b.size() != size_t{group_count} * group_size)
    throw out_of_range("read groups are 64 bytes, not " + std::to_string(b.size()));
  read_groups g;
  for (size_t i = 0; i < group_count; i++) {
    const uint8_t* at = b.data() + group_size * i;
    if (at[0] != 1)
      continue;  // only an enable byte of exactly 1 is polled
    for (size_t k = 0; k < std::min<size_t>(at[1], group_room); k++)
      g[i].push_back(at[2 + k]);
  }
  return g;
}

std::vector<uint8_t> groups_encode(const read_groups& g)
{
  std::vector<uint8_t> b(size_t{group_count} * group_size, 0);
  for (size_t i = 0; i < group_count; i++) {
    if (g[i].size() > group_room)
      throw out_of_range("read group " + std::to_string(i) + " holds at most 14 servos, not " +
                         std::to_string(g[i].size()));
    if (g[i].empty())
      continue;
    b[group_size * i] = 1;
    b[group_size * i + 1] = static_cast<uint8_t>(g[i].size());
    for (size_t k = 0; k < g[i].size(); k++) {
      int id = g[i][k];
      if (id < 0 || id > 255)
        throw out_of_range("servo id " + std::to_string(id) + " out of range 0..255");
      b[group_size * i + 2 + k] = static_cast<uint8_t>(id);
    }
  }
  return b;
}

read_groups groups_layout(const std::vector<int>& given, int room)
{
  std::vector<int> ids;
  for (int id : given)
    if (std::find(ids.begin(), ids.end(), id) == ids.end())
      ids.push_back(id);
  if (ids.size() > size_t{group_count} * group_room)
    throw out_of_range(std::to_string(ids.size()) + " servos do not fit the read groups (56 at most)");
  room = std::clamp(room, 1, group_room);
  size_t n = ids.size();
  size_t groups = std::clamp<size_t>((n + static_cast<size_t>(room) - 1) / static_cast<size_t>(room), 1, group_count);
  read_groups g;
  size_t at = 0;
  for (size_t i = 0; i < groups; i++) {
    size_t take = n / groups + (i < n % groups ? 1 : 0);  // balanced: sizes differ by one at most
    g[i].assign(ids.begin() + static_cast<long>(at), ids.begin() + static_cast<long>(at + take));
    at += take;
  }
  return g;
}

int groups_room(int32_t tick_us, int write_count)
{
  int64_t budget = int64_t{tick_us} * 8 / 10 - (16 + 6 * int64_t{write_count}) * byte_us;
  return static_cast<int>(std::clamp<int64_t>(budget / query_us, 1, group_room));
}

reading_info reading_of(const read_groups& g, const std::vector<int16_t>& pos, int id)
{
  auto word = [&](int sid) {
    return sid >= 1 && sid <= static_cast<int>(pos.size()) ? pos[static_cast<size_t>(sid - 1)] : no_reading;
  };
  if (word(id) != no_reading)
    return {};
  reading_info best{reading_state::no_group, -1, 0};
  for (int i = 0; i < group_count; i++) {
    const auto& ids = g[static_cast<size_t>(i)];
    for (size_t k = 0; k < ids.size(); k++) {
      if (ids[k] != id)
        continue;
      // The group stops at its first servo that fails; ids 1..32 show that failure as 0x8000.
      int blocker = 0;
      for (size_t j = 0; j < k && !blocker; j++)
        if (word(ids[j]) == no_reading && ids[j] >= 1 && ids[j] <= servo_max)
          blocker = ids[j];
      reading_info r{blocker ? reading_state::behind : reading_state::silent, i, blocker};
      if (best.state == reading_state::no_group || (best.state == reading_state::behind && !blocker))
        best = r;
      break;
    }
  }
  return best;
}

std::string reading_why(const reading_info& r)
{
  switch (r.state) {
    case reading_state::valid:
      return "";
    case reading_state::no_group:
      return "in no read group";
    case reading_state::silent:
      return "in read group " + std::to_string(r.group) + " but silent";
    case reading_state::behind:
      return "in read group " + std::to_string(r.group) + " behind silent servo " +
             std::to_string(r.blocker);
  }
  return "";
}

const char* reading_name(reading_state s)
{
  switch (s) {
    case reading_state::valid:
      return "valid";
    case reading_state::no_group:
      return "no_group";
    case reading_state::silent:
      return "silent";
    case reading_state::behind:
      return "behind";
  }
  return "";
}

read_groups client::groups() { return groups_decode(read(rd_group, group_count * group_size)); }

void client::set_groups(const read_groups& g) { write(rd_group, groups_encode(g)); }

read_groups client::read_servos(const std::vector<int>& ids)
{
  int room = groups_room(tick_us(), static_cast<int>(write_list().size()));
  read_groups g = groups_layout(ids, room);
  set_groups(g);
  return g;
}

std::vector<int16_t> client::positions()
{
  auto b = read(sv_pos, 2 * servo_max);
  std::vector<int16_t> pos(servo_max);
  for (size_t i = 0; i < pos.size(); i++)
    pos[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
  return pos;
}

reading_info client::reading(int id)
{
  if (id < 1 || id > servo_max)
    throw out_of_range("servo id " + std::to_string(id) + " out of range 1..32");
  // Positions after groups: a servo that has just joined a group is judged by its newer word.
  read_groups g = groups();
  return reading_of(g, positions(), id);
}

}  // namespace orvane

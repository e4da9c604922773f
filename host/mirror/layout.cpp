#include "host/mirror/layout.h"

#include <algorithm>

namespace orvane::mirror {

layout mirror_layout(const std::vector<int>& leader, const std::vector<int>& others, int room)
{
  if (leader.empty() || leader.size() > size_t{group_count} * group_room)
    throw out_of_range(std::to_string(leader.size()) + " leader servos do not fit the read groups");
  room = std::clamp(room, 1, group_room);
  size_t n = leader.size();
  // Every leader servo in the four groups, even if a cycle then outlasts its tick.
  room = std::max<int>(room, static_cast<int>((n + group_count - 1) / group_count));
  size_t k = (n + static_cast<size_t>(room) - 1) / static_cast<size_t>(room);
  layout out;
  std::vector<std::vector<int>> chunk(k);
  for (size_t i = 0, at = 0; i < k; i++) {
    size_t take = n / k + (i < n % k ? 1 : 0);
    chunk[i].assign(leader.begin() + static_cast<long>(at), leader.begin() + static_cast<long>(at + take));
    at += take;
  }
  std::vector<int> rest;
  for (int id : others)
    if (std::find(leader.begin(), leader.end(), id) == leader.end() && std::find(rest.begin(), rest.end(), id) == rest.end())
      rest.push_back(id);
  size_t spare = 0;
  for (const auto& c : chunk)
    spare += static_cast<size_t>(room) - c.size();
  size_t turns = 1;  // how often the leader's chunks come round within the four groups
  while (spare > 0 && turns * spare < rest.size() && (turns + 1) * k <= group_count)
    turns++;
  size_t at = 0;
  for (size_t g = 0; g < turns * k; g++) {
    std::vector<int>& grp = out.groups[g];
    grp = chunk[g % k];
    while (at < rest.size() && grp.size() < static_cast<size_t>(room))
      grp.push_back(rest[at++]);
  }
  out.unread.assign(rest.begin() + static_cast<long>(at), rest.end());
  out.leader_every = static_cast<int>(k);
  out.others_every = at > 0 ? static_cast<int>(turns * k) : 0;
  return out;
}

}  // namespace orvane::mirror

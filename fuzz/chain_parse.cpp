// The virtual servo chain's packet parser, without a line: the first input byte picks a fault
// and the servo that has it, the rest is what the daemon would put on the line. Every packet the
// chain takes must be framed as its length bytes say, and the chain must answer exactly the
// queries it can: its echo of every byte plus one reply per answered query.
#include <vector>

#include "fuzz/fuzz.h"
#include "sim/servo_chain.h"

int fuzz_chain_parse(const uint8_t* data, size_t size)
{
  if (size == 0)
    return 0;
  static const std::vector<uint8_t> ids = {1, 2, 3, 4, 5, 6, 32, 255};
  static const sv_fault faults[] = {sv_fault::none,        sv_fault::silent,
                                    sv_fault::bad_csum,    sv_fault::other_id,
                                    sv_fault::short_reply, sv_fault::late_reply};
  sv_fault f = faults[(data[0] & 0x0F) % 6];
  uint8_t faulty = ids[(data[0] >> 4) % ids.size()];

  auto chain = servo_chain::unwired(ids);
  FUZZ_CHECK(chain->fault(faulty, f));
  FUZZ_CHECK(!chain->fault(0, f));  // no servo 0: it is the broadcast id
  std::vector<uint8_t> out = chain->feed(data + 1, size - 1);
  std::vector<uint8_t> late = chain->feed(nullptr, 0);  // a held-back reply goes out now
  out.insert(out.end(), late.begin(), late.end());

  size_t replies = 0;
  for (const auto& p : chain->packets()) {
    FUZZ_CHECK(p.size() >= 8 && p[0] == 0xFA && p[1] == 0xAF);
    FUZZ_CHECK(p.size() == 8u + static_cast<size_t>(p[5]) * p[6]);
    uint8_t sum = 0;
    for (size_t i = 2; i + 1 < p.size(); i++)
      sum ^= p[i];
    bool known = false;
    for (uint8_t id : ids)
      known = known || id == p[2];
    if (sum != p.back() || !known || p[3] != 0x0F || p[6] != 0)
      continue;
    if (p[2] == faulty && f == sv_fault::silent)
      continue;
    replies += 8u + p[5] - (p[2] == faulty && f == sv_fault::short_reply ? 1 : 0);
  }
  FUZZ_CHECK(out.size() == size - 1 + replies);

  for (const sv_state& s : chain->servos())
    FUZZ_CHECK(s.pos >= -servo_chain::POS_LIMIT && s.pos <= servo_chain::POS_LIMIT);
  return 0;
}

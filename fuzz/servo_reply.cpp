// Position-reply acceptance: the first input byte is the id asked, the rest is what arrived on
// the line, held in a buffer of exactly that size. A reply is taken only when all six rules
// hold, and then its position is offset 8 over offset 7. Also checks the query built for the id.
#include <cstring>
#include <memory>

#include "fuzz/fuzz.h"
#include "servo/packet.h"

int fuzz_servo_reply(const uint8_t* data, size_t size)
{
  if (size == 0)
    return 0;
  uint8_t id = data[0];
  size_t got = size - 1;
  std::unique_ptr<uint8_t[]> r(new uint8_t[got > 0 ? got : 1]);
  memcpy(r.get(), data + 1, got);

  bool want = got == SV_REPLY_LEN && r[0] == 0xFD && r[1] == 0xDF && r[2] == id && r[4] == 0x2A &&
              r[5] == 0x02 && r[6] == 0x01 &&
              r[9] == (r[2] ^ r[3] ^ r[4] ^ r[5] ^ r[6] ^ r[7] ^ r[8]);
  uint16_t pos = 0x5A5A;
  bool took = sv_accept_reply(r.get(), static_cast<ssize_t>(got), id, &pos);
  FUZZ_CHECK(took == want);
  FUZZ_CHECK(took ? pos == (r[8] << 8 | r[7]) : pos == 0x5A5A);
  // What read0 gives for a silent or broken line is never taken, whatever the buffer holds.
  for (ssize_t bad : {ssize_t{0}, ssize_t{-1}})
    FUZZ_CHECK(!sv_accept_reply(r.get(), bad, id, &pos));

  uint8_t q[SV_QUERY_LEN + 1];
  q[SV_QUERY_LEN] = 0xEE;
  FUZZ_CHECK(sv_build_query(q, id) == SV_QUERY_LEN);
  const uint8_t head[] = {0xFA, 0xAF, id, 0x0F, 0x2A, 0x02, 0x00};
  FUZZ_CHECK(memcmp(q, head, sizeof head) == 0);
  FUZZ_CHECK(q[7] == (id ^ 0x27) && q[SV_QUERY_LEN] == 0xEE);
  return 0;
}

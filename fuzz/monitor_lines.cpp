// The monitor's buffered line reader against the former one-byte reader. The first input byte
// chooses how the rest is cut into receives and what else the socket does (zero-byte receives,
// interrupted and failed receives, how the stream ends); both readers get the same script and
// must hand out the same lines, byte for byte, and close, quit and pause at the same points.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/image.h"
#include "core/map.h"
#include "fuzz/fuzz.h"
#include "fuzz/rdline_ref.h"
#include "fuzz/stream.h"
#include "monitor/cmd.h"

namespace {

// Segment lengths, from one byte at a time up to more than a receive takes.
constexpr size_t SEG_MAX[8] = {1, 2, 3, 7, 16, 100, 1000, 5000};
constexpr int LINES_MAX = 512;

struct rng {
  uint32_t s;
  uint32_t next()
  {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

// Bits 0-2 the longest segment, 3-4 how often a zero-byte receive comes between segments,
// 5 interrupted receives, 6-7 the end: the host closes (0, 1), the connection fails at the end
// (2) or somewhere in the stream (3).
stream script(uint8_t how, const uint8_t* data, size_t size)
{
  stream st;
  rng r{0x9e3779b9u ^ (uint32_t{how} * 0x01000193u)};
  size_t seg_max = SEG_MAX[how & 7];
  uint32_t zero_every = (how >> 3 & 3) == 0 ? 0 : 1u << (2 * (3 - (how >> 3 & 3)) + 1);
  bool intr = how & 0x20;
  size_t fail_at = (how >> 6) == 3 ? r.next() % (size + 1) : size + 1;
  st.end = (how >> 6) >= 2 ? stream_step::fail : stream_step::zero;
  for (size_t at = 0; at < size;) {
    if (at == fail_at) {
      st.steps.push_back({stream_step::fail, {}});
      break;
    }
    if (zero_every && r.next() % zero_every == 0)
      st.steps.push_back({stream_step::zero, {}});
    if (intr && r.next() % 8 == 0)
      st.steps.push_back({stream_step::intr, {}});
    size_t n = std::min<size_t>(1 + r.next() % seg_max, size - at);
    if (fail_at > at)
      n = std::min(n, fail_at - at);
    st.steps.push_back({stream_step::bytes, std::string(reinterpret_cast<const char*>(data + at), n)});
    at += n;
  }
  return st;
}

void discard(void*, const char*, size_t) {}

}  // namespace

int fuzz_monitor_lines(const uint8_t* data, size_t size)
{
  if (size == 0)
    return 0;
  mem_init();
  adr = 0x0180;
  len = 0x0080;
  stream a = script(data[0], data + 1, size - 1), b = a;
  dbgs_rd rd;
  rd.src = b.src();
  // The same leftovers from earlier lines in both buffers, so that every byte can be compared.
  static char la[DBGS_BUF], lb[DBGS_BUF];
  memset(la, 0x5a, sizeof la);
  memset(lb, 0x5a, sizeof lb);
  for (int lines = 0; lines < LINES_MAX; lines++) {
    bool got_a = ref_getline(a.src(), la);
    bool got_b = dbgs_getline(&rd, lb);
    FUZZ_CHECK(got_a == got_b);
    FUZZ_CHECK(a.pauses == b.pauses);
    if (!got_a)
      break;
    FUZZ_CHECK(memcmp(la, lb, DBGS_BUF) == 0);
    // Whatever follows a quit is never carried out: both stop here.
    if (dbgs_exec(la, dbgs_sink{discard, nullptr}))
      break;
  }
  // A receive of a block never takes more calls than one of a byte.
  FUZZ_CHECK(b.gets <= a.gets);
  return 0;
}

// Micro-benchmarks of the servo packets: both long packets for 6 and for 30 servos, the position
// query, and the acceptance check of a position reply.
#include <benchmark/benchmark.h>

#include "servo/packet.h"

namespace {

void BM_BuildLongPackets(benchmark::State& state)
{
  size_t n = static_cast<size_t>(state.range(0));
  sv_entry e[SV_LONG_MAX];
  for (size_t i = 0; i < n; i++)
    e[i] = {static_cast<uint8_t>(i + 1), static_cast<int16_t>(100 + i),
            static_cast<int16_t>(-300 + 37 * static_cast<int>(i))};
  uint8_t buf[SV_BUF_SIZE];
  for (auto _ : state) {
    benchmark::DoNotOptimize(sv_build_longs(buf, e, n, true));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sv_longs_len(n)));
}
BENCHMARK(BM_BuildLongPackets)->Arg(6)->Arg(30);

void BM_BuildQuery(benchmark::State& state)
{
  uint8_t buf[SV_BUF_SIZE];
  uint8_t id = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sv_build_query(buf, id));
    id = static_cast<uint8_t>(id % 32 + 1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BuildQuery);

void BM_AcceptReply(benchmark::State& state)
{
  static const uint8_t good[SV_REPLY_LEN] = {0xFD, 0xDF, 0x01, 0x00, 0x2A,
                                             0x02, 0x01, 0x23, 0x01, 0x0A};
  uint16_t pos = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sv_accept_reply(good, SV_REPLY_LEN, 1, &pos));
    benchmark::DoNotOptimize(pos);
  }
}
BENCHMARK(BM_AcceptReply);

// A reply whose checksum is off: the whole check runs before it is refused.
void BM_RejectReplyBadChecksum(benchmark::State& state)
{
  static const uint8_t bad[SV_REPLY_LEN] = {0xFD, 0xDF, 0x01, 0x00, 0x2A,
                                            0x02, 0x01, 0x23, 0x01, 0x0B};
  uint16_t pos = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(sv_accept_reply(bad, SV_REPLY_LEN, 1, &pos));
}
BENCHMARK(BM_RejectReplyBadChecksum);

}  // namespace

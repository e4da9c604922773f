// Micro-benchmarks of the servo packets: both long packets for 6 and for 30 servos, built as the
// servo cycle builds them (each entry read from the map), the position query, and the
// acceptance check of a position reply.
#include <benchmark/benchmark.h>

#include "core/image.h"
#include "core/map.h"
#include "servo/packet.h"
#include "servo/sg.h"

namespace {

void BM_BuildLongPackets(benchmark::State& state)
{
  auto n = static_cast<uint8_t>(state.range(0));
  mem_init();
  mem_w8(MAP_WR_COUNT, n);
  for (uint8_t i = 0; i < n; i++) {
    auto id = static_cast<uint8_t>(i + 1);
    mem_w8(MAP_WR_IDS + i, id);
    mem_w16(map_sv_torque(id), static_cast<uint16_t>(100 + i));
    mem_w16(map_sv_goal(id), static_cast<uint16_t>(-300 + 37 * i));
  }
  uint8_t buf[SV_BUF_SIZE];
  for (auto _ : state) {
    benchmark::DoNotOptimize(sg_build_longs(buf, n, true));
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

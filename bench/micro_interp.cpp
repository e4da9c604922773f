// Micro-benchmarks of the interpolator: one pass over 128 moving channels, and the pass that
// takes a trigger (one division per channel).
#include <benchmark/benchmark.h>

#include "core/image.h"
#include "core/interp.h"
#include "core/map.h"

namespace {

// Every channel on its way to a distinct target, with the longest move the trigger allows.
void interp_start_moves()
{
  mem_init();
  for (uint32_t i = 0; i < MAP_CHANNELS; i++)
    mem_w16(MAP_IP_TARGET + 2 * i, static_cast<uint16_t>(1000 + 37 * i));
  mem_w8(MAP_TTIME, 255);
  mem_proc0();
}

void BM_InterpPass128Moving(benchmark::State& state)
{
  interp_start_moves();
  uint32_t steps = 0;
  for (auto _ : state) {
    // Keeps every channel moving; 128 byte stores once in 200 passes weigh under 1 % here.
    if (++steps == 200) {
      steps = 0;
      for (uint32_t i = 0; i < MAP_CHANNELS; i++)
        mem_w8(MAP_IP_COUNT + i, 255);
    }
    mem_proc0();
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(mem_r16(MAP_IP_OUT + 2));
}
BENCHMARK(BM_InterpPass128Moving);

void BM_InterpPassTakingTrigger128(benchmark::State& state)
{
  interp_start_moves();
  for (auto _ : state) {
    mem_w8(MAP_TTIME, 60);
    mem_proc0();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_InterpPassTakingTrigger128);

}  // namespace

// Micro-benchmarks of the monitor's dump lines, built from the map exactly as a connection does:
// one 16-byte line with its text column, and one 'R' line of the whole 4096-byte map.
#include <benchmark/benchmark.h>

#include "core/image.h"
#include "core/map.h"
#include "monitor/cmd.h"

namespace {

// Takes the lines a connection would send, and only counts them.
void count_put(void* ctx, const char*, size_t n) { *static_cast<size_t*>(ctx) += n; }

void run_dump(benchmark::State& state, const char* line)
{
  mem_init();
  size_t bytes = 0;
  dbgs_sink out{count_put, &bytes};
  for (auto _ : state) {
    dbgs_exec(line, out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_DumpLine16WithText(benchmark::State& state) { run_dump(state, "r 20 10"); }
BENCHMARK(BM_DumpLine16WithText);

void BM_DumpRLine4096(benchmark::State& state) { run_dump(state, "R 0 1000"); }
BENCHMARK(BM_DumpRLine4096);

}  // namespace

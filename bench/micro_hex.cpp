// Micro-benchmarks of the monitor's hex text helpers: parsing the fields of a command line and
// encoding the digits of a dump line.
#include <benchmark/benchmark.h>

#include "monitor/str.h"

namespace {

// Parses the address and count of "r 0d80 0040", as every dump command does.
void BM_HexParseDumpFields(benchmark::State& state)
{
  static const char line[] = "r 0d80 0040";
  for (auto _ : state) {
    const char* p = line + 1;
    spcut(&p);
    int32_t at = hex4dec(&p);
    spcut(&p);
    int32_t n = hex4dec(&p);
    benchmark::DoNotOptimize(at);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_HexParseDumpFields);

// Parses the 16 byte values of a write line, blanks between them.
void BM_HexParse16Bytes(benchmark::State& state)
{
  static const char vals[] = "f4 01 e8 03 dc 05 D0 07 c4 09 b8 0B ac 0d a0 0f";
  for (auto _ : state) {
    const char* p = vals;
    int32_t sum = 0;
    for (int i = 0; i < 16; i++) {
      spcut(&p);
      sum += hex2dec(&p);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_HexParse16Bytes);

void BM_HexParse8Digits(benchmark::State& state)
{
  static const char text[] = "0000411b";
  for (auto _ : state) {
    const char* p = text;
    benchmark::DoNotOptimize(p);
    benchmark::DoNotOptimize(hex8dec(&p));
  }
}
BENCHMARK(BM_HexParse8Digits);

// Runs `encode` into one dump line's buffer, `bytes` map bytes a call (0: none counted).
template <class F>
void encode_bench(benchmark::State& state, int bytes, F encode)
{
  char out[64];
  for (auto _ : state) {
    char* q = out;
    encode(q);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  if (bytes)
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

// Encodes 16 bytes as the hex pairs of one dump line, with their blanks.
void BM_HexEncode16Bytes(benchmark::State& state)
{
  uint8_t v = 0;
  encode_bench(state, 16, [&](char* q) {
    for (int i = 0; i < 16; i++) {
      hex2enc(&q, v++);
      *q++ = ' ';
    }
  });
}
BENCHMARK(BM_HexEncode16Bytes);

void BM_HexEncodeAddress(benchmark::State& state)
{
  uint16_t a = 0;
  encode_bench(state, 0, [&](char* q) { hex4enc(&q, a += 16); });
}
BENCHMARK(BM_HexEncodeAddress);

}  // namespace

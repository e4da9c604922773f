// The libFuzzer entry of one target, chosen at build time with FUZZ_ENTRY.
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  return FUZZ_ENTRY(data, size);
}

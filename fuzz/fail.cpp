#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz.h"

const char* fuzz_input_name = nullptr;

void fuzz_fail(const char* what, const char* file, int line)
{
  fprintf(stderr, "%s:%d: fuzz check failed: %s%s%s\n", file, line, what,
          fuzz_input_name ? ", input " : "", fuzz_input_name ? fuzz_input_name : "");
  abort();
}

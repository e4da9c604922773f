#include "support/emulation.h"

#include <cstdlib>
#include <cstring>

bool emulated()
{
  const char* v = getenv("ORVANE_EMULATED");
  return v && strcmp(v, "1") == 0;
}

#include "support/emulation.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

bool emulated()
{
  const char* v = getenv("ORVANE_EMULATED");
  return v && strcmp(v, "1") == 0;
}

std::vector<std::string> emulator()
{
  std::vector<std::string> words;
  const char* v = getenv("ORVANE_EMULATOR");
  if (!v)
    return words;
  std::istringstream in(v);
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

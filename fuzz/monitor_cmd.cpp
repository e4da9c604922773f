// The monitor's command handling: the input is what a host sends, cut into lines as a connection
// cuts it (at LF, or after 2047 characters) and carried out in turn on a freshly initialised map.
// Every answer line must be well formed and show the map as it is; only a write may change the
// map, and only from its address on; the line that ends the daemon is told before it runs. Reads and writes outside the map are ASan's to catch.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/image.h"
#include "core/map.h"
#include "fuzz/fuzz.h"
#include "monitor/cmd.h"

namespace {

struct answer {
  std::vector<std::string> lines;
};

void collect(void* ctx, const char* s, size_t n)
{
  static_cast<answer*>(ctx)->lines.emplace_back(s, n);
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

unsigned hex_at(const std::string& s, size_t at, size_t digits)
{
  unsigned v = 0;
  for (size_t i = 0; i < digits; i++) {
    char c = s[at + i];
    FUZZ_CHECK(is_hex(c));
    v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return v;
}

// One dump line: "#aaaa " then "hh " per byte, with the text column " t..." or without, CR LF.
// Returns its byte count after checking every byte against the map at `at`.
uint32_t check_line(const std::string& l, uint32_t at, bool text)
{
  FUZZ_CHECK(l.size() <= DBGS_OUT);
  FUZZ_CHECK(l.size() >= 8 && l[0] == '#' && l[5] == ' ');
  FUZZ_CHECK(l[l.size() - 2] == '\r' && l[l.size() - 1] == '\n');
  FUZZ_CHECK(hex_at(l, 1, 4) == (at & 0xFFFF));
  size_t body = l.size() - 8;  // after "#aaaa ", before CR LF
  size_t n = text ? (body - 1) / 4 : body / 3;
  FUZZ_CHECK(n >= 1 && (text ? 4 * n + 1 : 3 * n) == body);
  FUZZ_CHECK(!text || n <= 16);
  FUZZ_CHECK(at + n <= MAP_SIZE);
  for (size_t i = 0; i < n; i++) {
    uint8_t b = mem_r8(at + static_cast<uint32_t>(i));
    FUZZ_CHECK(hex_at(l, 6 + 3 * i, 2) == b && l[8 + 3 * i] == ' ');
    if (text)
      FUZZ_CHECK(l[7 + 3 * n + i] == (b < 0x20 ? '.' : static_cast<char>(b)));
  }
  if (text)
    FUZZ_CHECK(l[6 + 3 * n] == ' ');
  return static_cast<uint32_t>(n);
}

// Where the writes carried out so far may have changed the map: from the address on, at most
// one byte per character of their line.
struct span {
  uint32_t from, to;
};
std::vector<span> writes;

// Carries out one line; false once it was a quit.
bool run_line(const char* line)
{
  const char* p = line;
  while (*p == ' ' || *p == '\r' || *p == '\n')
    p++;
  char cmd = *p;
  bool write = cmd == 'W' || cmd == 'w';
  bool quit = cmd == '!' || cmd == 'Q' || cmd == 'q';

  // The line that ends the daemon is told before it runs, without touching the map: exactly a
  // write that stores a nonzero byte into exit_req or poweroff_req. Both are cleared before each
  // line (their initial value), so that what the line stores there shows.
  mem_w8(MAP_EXIT_REQ, 0);
  mem_w8(MAP_POWEROFF_REQ, 0);
  int32_t adr0 = adr.load();
  bool ends = dbgs_ends(line);
  FUZZ_CHECK(adr.load() == adr0 && mem_r8(MAP_EXIT_REQ) == 0 && mem_r8(MAP_POWEROFF_REQ) == 0);

  answer out;
  bool ended = dbgs_exec(line, dbgs_sink{collect, &out});
  FUZZ_CHECK(ended == quit);
  FUZZ_CHECK(ends == (mem_r8(MAP_EXIT_REQ) != 0 || mem_r8(MAP_POWEROFF_REQ) != 0));

  int32_t at = adr.load();
  int32_t count = len.load();
  FUZZ_CHECK(at >= 0 && at <= 0xFFFF && count >= 0 && count <= 0xFFFF);
  if (write)
    writes.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(at + strlen(line))});
  if (write || quit) {
    FUZZ_CHECK(out.lines.empty());
    return !quit;
  }
  // A dump starts at the remembered address and shows the remembered count, up to the map's end.
  uint32_t want = 0;
  if (count > 0 && static_cast<uint32_t>(at) < MAP_SIZE)
    want = std::min(static_cast<uint32_t>(count), MAP_SIZE - static_cast<uint32_t>(at));
  uint32_t a = static_cast<uint32_t>(at), shown = 0;
  bool text = cmd != 'R';
  for (const std::string& l : out.lines) {
    uint32_t n = check_line(l, a, text);
    a += n;
    shown += n;
  }
  FUZZ_CHECK(shown == want);
  FUZZ_CHECK(text || out.lines.size() <= 1);
  return true;
}

}  // namespace

int fuzz_monitor_cmd(const uint8_t* data, size_t size)
{
  mem_init();
  adr = 0x0180;
  len = 0x0080;
  writes.clear();
  static uint8_t before[MAP_SIZE];
  for (uint32_t i = 0; i < MAP_SIZE; i++)
    before[i] = mem_r8(i);
  char line[DBGS_BUF];
  size_t n = 0;
  int lines = 0;
  // Past a few dozen lines an input adds time rather than new paths: the rest is not run.
  for (size_t i = 0; i <= size && lines < 64; i++) {
    // The last line runs too, ended or not: an input need not end in LF to reach the parser.
    bool end = i == size;
    if (!end && data[i] != '\n') {
      line[n++] = static_cast<char>(data[i]);
      if (n < DBGS_BUF - 1)
        continue;
    }
    line[n] = '\0';
    if ((n > 0 || !end) && !run_line(line))
      break;
    n = 0;
    lines++;
  }
  // Only a write changes the map, and only where its line reached.
  for (uint32_t i = 0; i < MAP_SIZE; i++) {
    if (mem_r8(i) == before[i])
      continue;
    bool written = false;
    for (const span& w : writes)
      written = written || (i >= w.from && i < w.to);
    FUZZ_CHECK(written);
  }
  return 0;
}

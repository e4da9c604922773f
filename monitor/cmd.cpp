#include "monitor/cmd.h"

#include <algorithm>

#include "monitor/str.h"

std::atomic<int32_t> adr{0x0180};
std::atomic<int32_t> len{0x0080};

constexpr uint32_t DUMP_ROW = 16;  // bytes per line of a dump with a text column

// One dump line of n bytes from `at`. Each byte is read from the map once, so its hex pair and
// its text character always agree even while another thread writes.
static void dump_line(char* line, uint32_t at, uint32_t n, bool text, const dbgs_sink& out)
{
  char* q = line;
  *q++ = '#';
  hex4enc(&q, static_cast<uint16_t>(at));
  *q++ = ' ';
  char* txt = q + 3 * size_t{n} + 1;  // the text column: after the hex pairs and one more blank
  for (uint32_t i = 0; i < n; i++) {
    uint8_t b = mem_r8(at + i);
    hex2enc(&q, b);
    *q++ = ' ';
    if (text)
      *txt++ = b < 0x20 ? '.' : static_cast<char>(b);
  }
  if (text) {
    *q = ' ';
    q = txt;
  }
  *q++ = '\r';
  *q++ = '\n';
  *q = '\0';
  out.put(out.ctx, line, static_cast<size_t>(q - line));
}

// 'R', 'r' and every line that is no other command: [address [count]], falling back on adr and
// len. Only bytes that exist are shown: the dump ends after the map's last byte.
// The next number on the line, kept for later lines; the one kept when the line gives none.
static int32_t given_or_kept(const char** p, std::atomic<int32_t>& kept)
{
  spcut(p);
  int32_t v = hex4dec(p);
  if (v >= 0)
    kept.store(v, std::memory_order_relaxed);
  else
    v = kept.load(std::memory_order_relaxed);
  return v;
}

static void dbgs_dump(const char* p, const dbgs_sink& out)
{
  char cmd = *p;
  if (cmd == 'R' || cmd == 'r')
    p++;
  int32_t at = given_or_kept(&p, adr);
  int32_t n = given_or_kept(&p, len);
  if (n <= 0 || at < 0 || static_cast<uint32_t>(at) >= MAP_SIZE)
    return;

  uint32_t a = static_cast<uint32_t>(at);
  uint32_t left = std::min(static_cast<uint32_t>(n), MAP_SIZE - a);
  bool text = cmd != 'R';
  char line[DBGS_OUT];
  while (left > 0) {
    uint32_t k = text ? std::min(left, DUMP_ROW) : left;
    dump_line(line, a, k, text, out);
    a += k;
    left -= k;
  }
}

// 'W', 'w': address, then byte values stored one by one until a value does not parse or would
// land beyond the map. len is left alone. With `store` false nothing is stored and adr is left
// alone: the line is only read. Either way, true when a nonzero byte goes into an end request.
static bool dbgs_write(const char* p, bool store)
{
  p++;
  spcut(&p);
  int32_t at = hex4dec(&p);
  if (at < 0)
    return false;
  if (store)
    adr.store(at, std::memory_order_relaxed);
  bool ends = false;
  for (uint32_t a = static_cast<uint32_t>(at); *p != '\0'; a++) {
    spcut(&p);
    int16_t v = hex2dec(&p);
    if (v < 0 || a >= MAP_SIZE)
      break;
    bool req = a == MAP_EXIT_REQ || a == MAP_POWEROFF_REQ;
    ends |= req && v != 0;
    // A request byte is released: the control loop that sees it then sees the connection's hold.
    if (store && req)
      mem_w8_release(a, static_cast<uint8_t>(v));
    else if (store)
      mem_w8(a, static_cast<uint8_t>(v));
  }
  return ends;
}

bool dbgs_writes(const char* line)
{
  const char* p = line;
  spcut(&p);
  return *p == 'W' || *p == 'w';
}

bool dbgs_ends(const char* line)
{
  const char* p = line;
  spcut(&p);
  return (*p == 'W' || *p == 'w') && dbgs_write(p, false);
}

bool dbgs_exec(const char* line, const dbgs_sink& out)
{
  const char* p = line;
  spcut(&p);
  switch (*p) {
    case '!':
    case 'Q':
    case 'q':
      return true;
    case 'W':
    case 'w':
      dbgs_write(p, true);
      return false;
    default:
      dbgs_dump(p, out);
      return false;
  }
}

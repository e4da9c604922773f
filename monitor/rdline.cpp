#include "monitor/rdline.h"

#include <cerrno>
#include <cstring>

#include "monitor/cmd.h"

// Hands out bytes up to the next LF exactly as a receive of one byte at a time would; only an
// empty block asks the source again, so zero-byte receives and failures fall at the same points
// of the stream as they did for the byte-wise reader. A command such as "r d80 40" took nine
// receive calls that way, and now takes one.
bool dbgs_getline(dbgs_rd* r, char* line)
{
  int errct = 0;
  size_t n = 0;
  for (;;) {
    if (r->at == r->end) {
      ssize_t got = r->src.get(r->src.ctx, r->block, sizeof r->block);
      if (got > 0) {
        r->at = 0;
        r->end = static_cast<size_t>(got);
      } else if (got == 0) {
        if (++errct > DBGS_ERRCT_MAX)
          return false;
        r->src.pause(r->src.ctx);
        continue;
      } else if (errno == EINTR) {
        continue;
      } else {
        return false;  // retrying a broken socket would only spin
      }
    }
    const char* p = r->block + r->at;
    size_t avail = r->end - r->at;
    size_t room = DBGS_BUF - 1 - n;
    size_t take = avail < room ? avail : room;
    const void* lf = memchr(p, '\n', take);
    if (lf) {
      size_t k = static_cast<size_t>(static_cast<const char*>(lf) - p);
      memcpy(line + n, p, k);
      line[n + k] = '\0';
      r->at += k + 1;
      return true;
    }
    memcpy(line + n, p, take);
    n += take;
    r->at += take;
    if (n == DBGS_BUF - 1) {
      line[n] = '\0';
      return true;
    }
  }
}

#include "fuzz/rdline_ref.h"

#include <cerrno>

#include "monitor/cmd.h"

bool ref_getline(const dbgs_src& src, char* line)
{
  int errct = 0;
  size_t n = 0;
  for (;;) {
    char c;
    ssize_t r = src.get(src.ctx, &c, 1);
    if (r == 1) {
      if (c == '\n') {
        line[n] = '\0';
        return true;
      }
      line[n++] = c;
      if (n == DBGS_BUF - 1) {
        line[n] = '\0';
        return true;
      }
    } else if (r == 0) {
      if (++errct > DBGS_ERRCT_MAX)
        return false;
      src.pause(src.ctx);
    } else if (errno != EINTR) {
      return false;
    }
  }
}

#include "fuzz/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>

static ssize_t stream_get(void* ctx, char* p, size_t n)
{
  auto* s = static_cast<stream*>(ctx);
  s->gets++;
  while (s->step < s->steps.size() && s->steps[s->step].k == stream_step::bytes &&
         s->steps[s->step].data.empty())
    s->step++;  // an empty step would read as the host closing
  stream_step::kind k = s->step < s->steps.size() ? s->steps[s->step].k : s->end;
  switch (k) {
    case stream_step::bytes: {
      const std::string& d = s->steps[s->step].data;
      size_t take = std::min(n, d.size() - s->off);
      std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(s->off), take, p);
      s->off += take;
      if (s->off == d.size()) {
        s->step++;
        s->off = 0;
      }
      return static_cast<ssize_t>(take);
    }
    case stream_step::zero:
      break;
    case stream_step::intr:
      errno = EINTR;
      break;
    case stream_step::fail:
      errno = ECONNRESET;
      break;
  }
  if (s->step < s->steps.size())
    s->step++;
  return k == stream_step::zero ? 0 : -1;
}

static void stream_pause(void* ctx) { static_cast<stream*>(ctx)->pauses++; }

dbgs_src stream::src() { return dbgs_src{stream_get, stream_pause, this}; }

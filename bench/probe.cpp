#include "bench/probe.h"

#include <ctime>

probe_log probe_tick('t');
probe_log probe_pass('p');
probe_log probe_rel('r');
probe_log probe_abs('a');

int64_t probe_now()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void probe_mark(probe_log& log)
{
  uint32_t i = log.n.load(std::memory_order_relaxed);
  if (i >= PROBE_ROOM)
    return;
  log.t[i] = probe_now();
  log.n.store(i + 1, std::memory_order_release);
}

void probe_tick_hook() { probe_mark(probe_tick); }
void probe_pass_hook() { probe_mark(probe_pass); }

bool probe_dump(const char* path)
{
  FILE* f = fopen(path, "w");
  if (!f)
    return false;
  for (probe_log* log : {&probe_tick, &probe_pass, &probe_rel, &probe_abs}) {
    uint32_t n = log->n.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < n; i++)
      fprintf(f, "%c %lld\n", log->tag, static_cast<long long>(log->t[i]));
  }
  return fclose(f) == 0;
}

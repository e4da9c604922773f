// Timestamp logs for the system benchmark's runner: one log per event source (the daemon's tick,
// its control-loop passes, the reference timers). Each log is written by one thread only and read
// by the runner's initial thread when the daemon has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

constexpr uint32_t PROBE_ROOM = 1u << 16;  // about 18 minutes of ticks at 60 per second

struct probe_log {
  explicit probe_log(char c) : tag(c) {}
  char tag;                    // one letter that names the log in the dump
  std::atomic<uint32_t> n{0};  // entries written; an entry below n is never written again
  int64_t t[PROBE_ROOM];       // CLOCK_MONOTONIC, nanoseconds
};

extern probe_log probe_tick;  // written by the daemon's tick thread
extern probe_log probe_pass;  // written by the control loop
extern probe_log probe_rel;   // written by the relative reference timer's thread
extern probe_log probe_abs;   // written by the absolute reference timer's thread

int64_t probe_now();  // CLOCK_MONOTONIC in nanoseconds; no system call (vDSO)
void probe_mark(probe_log& log);  // appends the time now; drops it once the log is full
void probe_tick_hook();  // plat.tick_probe
void probe_pass_hook();  // plat.pass_probe
bool probe_dump(const char* path);  // writes every log as lines "<tag> <ns>"

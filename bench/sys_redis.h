// The comparison peer: a redis-server started on a free loopback port, measured with
// redis-benchmark's PING, and stopped again. Used by the driver's one thread only.
#pragma once

#include <string>

#include "bench/sys_proc.h"

struct redis_server {
  child srv;
  int port = -1;
  std::string why;  // when it is not running: what was missing or failed
};

struct redis_ping {
  bool ok = false;
  double rps = 0;     // PINGs per second
  double p50_us = 0;  // round trip, as redis-benchmark reports it (0.001 ms steps)
  double p99_us = 0;
};

redis_server redis_start(const std::string& dir);  // port -1 and why set when it cannot
// `pipeline` PINGs per send and client (redis-benchmark -P); 1 waits for each answer.
redis_ping redis_bench(const redis_server& r, const std::string& dir, int clients, int requests,
                       int pipeline = 1);
void redis_stop(redis_server& r);

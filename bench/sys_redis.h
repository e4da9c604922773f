// The comparison peer: a redis-server started on a free loopback port, measured with
// redis-benchmark's PING, and stopped again. Used by the driver's one thread only.
#pragma once

#include <string>

struct redis_figures {
  bool ok = false;
  std::string why;      // when not ok: what was missing or failed
  double p50_us = 0;    // PING round trip with one client, median
  double p99_us = 0;
  double rps1 = 0;      // PINGs per second with one client
  double rps8 = 0;      // PINGs per second with 8 clients
};

// Runs `requests` PINGs with one client and 10 times as many with eight, in dir.
redis_figures redis_measure(const std::string& dir, int requests);

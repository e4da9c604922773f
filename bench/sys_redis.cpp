#include "bench/sys_redis.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "bench/sys_net.h"
#include "bench/sys_proc.h"

static bool on_path(const char* prog)
{
  const char* path = getenv("PATH");
  std::stringstream ss(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(ss, dir, ':'))
    if (!dir.empty() && access((dir + "/" + prog).c_str(), X_OK) == 0)
      return true;
  return false;
}

// The PING_INLINE row of redis-benchmark's CSV: a request line of plain text, as the monitor's.
static bool ping_row(const std::string& csv, double* rps, double* p50_ms, double* p99_ms)
{
  std::istringstream in(csv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("\"PING_INLINE\"", 0) != 0)
      continue;
    std::vector<double> f;
    std::stringstream ls(line);
    std::string cell;
    while (std::getline(ls, cell, ','))
      f.push_back(atof(cell.substr(cell.find('"') + 1).c_str()));
    // test, rps, avg, min, p50, p95, p99, max
    if (f.size() < 8)
      return false;
    *rps = f[1];
    *p50_ms = f[4];
    *p99_ms = f[6];
    return true;
  }
  return false;
}

static bool bench_run(int port, int clients, int requests, const std::string& dir, double* rps,
                      double* p50_ms, double* p99_ms)
{
  child b = child_start({"redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
                         "ping", "-c", std::to_string(clients), "-n", std::to_string(requests),
                         "--csv"},
                        dir, "redis-benchmark-c" + std::to_string(clients));
  int status = child_stop(b, 120000);
  return status == 0 && ping_row(file_text(b.out_path), rps, p50_ms, p99_ms);
}

redis_figures redis_measure(const std::string& dir, int requests)
{
  redis_figures r;
  if (!on_path("redis-server") || !on_path("redis-benchmark")) {
    r.why = "redis-server or redis-benchmark is not installed";
    return r;
  }
  int port = net_free_port();
  child srv = child_start({"redis-server", "--bind", "127.0.0.1", "--port", std::to_string(port),
                           "--save", "", "--appendonly", "no", "--dir", dir, "--daemonize", "no",
                           "--protected-mode", "yes"},
                          dir, "redis-server");
  if (!file_wait(srv.out_path, "Ready to accept connections", 10000)) {
    r.why = "redis-server did not start";
    child_stop(srv, 2000, SIGTERM);
    return r;
  }
  double p50 = 0, p99 = 0, p50_8 = 0, p99_8 = 0;
  bool ok1 = bench_run(port, 1, requests, dir, &r.rps1, &p50, &p99);
  bool ok8 = ok1 && bench_run(port, 8, requests * 10, dir, &r.rps8, &p50_8, &p99_8);
  child_stop(srv, 5000, SIGTERM);
  if (!ok8) {
    r.why = "redis-benchmark failed";
    return r;
  }
  r.ok = true;
  r.p50_us = p50 * 1000;
  r.p99_us = p99 * 1000;
  return r;
}

#include "bench/sys_redis.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "bench/sys_net.h"

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
static bool ping_row(const std::string& csv, redis_ping* p)
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
      f.push_back(strtod(cell.substr(cell.find('"') + 1).c_str(), nullptr));
    // test, rps, avg, min, p50, p95, p99, max
    if (f.size() < 8)
      return false;
    p->rps = f[1];
    p->p50_us = f[4] * 1000;
    p->p99_us = f[6] * 1000;
    return true;
  }
  return false;
}

redis_server redis_start(const std::string& dir)
{
  redis_server r;
  if (!on_path("redis-server") || !on_path("redis-benchmark")) {
    r.why = "redis-server or redis-benchmark is not installed";
    return r;
  }
  int port = net_free_port();
  r.srv = child_start({"redis-server", "--bind", "127.0.0.1", "--port", std::to_string(port),
                       "--save", "", "--appendonly", "no", "--dir", dir, "--daemonize", "no",
                       "--protected-mode", "yes"},
                      dir, "redis-server");
  if (!file_wait(r.srv.out_path, "Ready to accept connections", 10000)) {
    r.why = "redis-server did not start";
    child_stop(r.srv, 2000, SIGTERM);
    return r;
  }
  r.port = port;
  return r;
}

redis_ping redis_bench(const redis_server& r, const std::string& dir, int clients, int requests,
                       int pipeline)
{
  redis_ping p;
  if (r.port < 0)
    return p;
  child b = child_start({"redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(r.port), "-t",
                         "ping", "-c", std::to_string(clients), "-n", std::to_string(requests),
                         "-P", std::to_string(pipeline), "--csv"},
                        dir, "redis-benchmark");
  p.ok = child_stop(b, 120000) == 0 && ping_row(file_text(b.out_path), &p);
  return p;
}

void redis_stop(redis_server& r)
{
  if (r.srv.pid > 0)
    child_stop(r.srv, 5000, SIGTERM);
  r.port = -1;
}

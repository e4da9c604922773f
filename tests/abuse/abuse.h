// Shared pieces of the abuse tests, which attack orvane-sim through real loopback sockets: raw
// connections, a reader that checks every answer line, the whole map before and after, and the
// daemon's threads and ticking as seen from outside. Each object belongs to the test that made it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/monitor_client.h"

// A loopback connection to the monitor, blocking or not, optionally with a small receive buffer
// (set before connecting, so the daemon's sends soon fill it); -1 on failure.
int abuse_connect(int port, bool nonblocking = false, int rcvbuf = 0);
void abuse_reset(int fd);  // closes with a reset instead of an orderly end
// Raises this process's soft limit on open files to n (or the hard limit); children inherit it.
void abuse_fd_limit(rlim_t n);

int abuse_threads(pid_t pid);  // threads of the process, from /proc/<pid>/task
int abuse_fds(pid_t pid);      // its open descriptors, from /proc/<pid>/fd
int abuse_max_fd(pid_t pid);   // its highest open descriptor

// True when loop_count, read through `host`, rises by at least 3 passes within the deadline.
bool abuse_ticking(MonitorClient& host);
// Passes counted in loop_count over `window`.
uint32_t abuse_passes(MonitorClient& host, std::chrono::milliseconds window);

// Map bytes that the running daemon writes by itself: sw_in, loop_count, ttime (cleared when
// taken), ip_out, ip_count, sv_pos.
bool abuse_daemon_field(uint32_t off);
std::vector<uint8_t> abuse_map(MonitorClient& host);  // all 4096 bytes, through one 'R' dump
// Offsets that differ between two whole maps, leaving out the daemon's own fields and the
// ranges [from, to) that the test wrote itself.
std::vector<uint32_t> abuse_changed(const std::vector<uint8_t>& before,
                                    const std::vector<uint8_t>& after,
                                    const std::vector<std::pair<uint32_t, uint32_t>>& wrote = {});

// Reads everything the daemon sends on one connection, on a thread of its own, and checks the
// form of every line: the banner ends in LF, every other line in CR LF, each begins with '#'.
class AbuseReader {
 public:
  explicit AbuseReader(int fd);
  ~AbuseReader();  // stops reading; the descriptor stays the caller's
  AbuseReader(const AbuseReader&) = delete;
  AbuseReader& operator=(const AbuseReader&) = delete;

  bool wait_line(const std::string& line, std::chrono::milliseconds timeout);  // without CR LF
  size_t lines();
  std::vector<std::string> malformed();
  bool ended();  // the daemon closed the connection

 private:
  void run();
  int fd_;
  std::atomic<bool> stop_{false}, ended_{false};
  std::mutex mu_;
  std::vector<std::string> lines_, bad_;
  std::thread t_;
};

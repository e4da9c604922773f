// Watching a running daemon from a host, for the abuse and fault tests: its ticking, the whole
// map before and after, and a reader that checks every answer line. Raw loopback connections
// and the /proc readers come from bench/sys_net.h and bench/sys_proc.h. Each object belongs to
// the test that made it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/sys_net.h"
#include "bench/sys_proc.h"
#include "support/monitor_client.h"

// True when loop_count, read through `host`, rises by at least 3 passes within the deadline.
bool daemon_ticking(MonitorClient& host);
// Passes counted in loop_count over `window`.
uint32_t daemon_passes(MonitorClient& host, std::chrono::milliseconds window);

// Map bytes that the running daemon writes by itself: sw_in, loop_count, ttime (cleared when
// taken), ip_out, ip_count, sv_pos.
bool daemon_field(uint32_t off);
std::vector<uint8_t> whole_map(MonitorClient& host);  // all 4096 bytes, through one 'R' dump
// Offsets that differ between two whole maps, leaving out the daemon's own fields and the
// ranges [from, to) that the test wrote itself.
std::vector<uint32_t> map_changes(const std::vector<uint8_t>& before,
                                  const std::vector<uint8_t>& after,
                                  const std::vector<std::pair<uint32_t, uint32_t>>& wrote = {});

// Reads everything the daemon sends on one connection, on a thread of its own, and checks the
// form of every line: the banner ends in LF, every other line in CR LF, each begins with '#'.
class LineChecker {
 public:
  explicit LineChecker(int fd);
  ~LineChecker();  // stops reading; the descriptor stays the caller's
  LineChecker(const LineChecker&) = delete;
  LineChecker& operator=(const LineChecker&) = delete;

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

#include "support/daemon_watch.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "core/map.h"
#include "support/sim_process.h"

bool daemon_ticking(MonitorClient& host)
{
  uint32_t first = host.read_u32(MAP_LOOP_COUNT);
  return wait_until([&] { return host.read_u32(MAP_LOOP_COUNT) - first >= 3; }, 20s, 20ms);
}

uint32_t daemon_passes(MonitorClient& host, std::chrono::milliseconds window)
{
  uint32_t first = host.read_u32(MAP_LOOP_COUNT);
  std::this_thread::sleep_for(window);
  return host.read_u32(MAP_LOOP_COUNT) - first;
}

bool daemon_field(uint32_t off)
{
  auto in = [off](uint32_t from, uint32_t n) { return off >= from && off < from + n; };
  return in(MAP_SW_IN, 2 * MAP_SW_COUNT) || in(MAP_LOOP_COUNT, 4) || in(MAP_TTIME, 1) ||
         in(MAP_IP_OUT, 2 * MAP_CHANNELS) || in(MAP_IP_COUNT, MAP_CHANNELS) || in(MAP_SV_POS, 64);
}

std::vector<uint8_t> whole_map(MonitorClient& host) { return host.read_map(0, MAP_SIZE); }

std::vector<uint32_t> map_changes(const std::vector<uint8_t>& before,
                                  const std::vector<uint8_t>& after,
                                  const std::vector<std::pair<uint32_t, uint32_t>>& wrote)
{
  std::vector<uint32_t> out;
  if (before.size() != MAP_SIZE || after.size() != MAP_SIZE) {
    out.push_back(MAP_SIZE);  // a map that could not be read counts as changed
    return out;
  }
  for (uint32_t i = 0; i < MAP_SIZE; i++) {
    bool ours = std::any_of(wrote.begin(), wrote.end(),
                            [i](const auto& r) { return i >= r.first && i < r.second; });
    if (before[i] != after[i] && !daemon_field(i) && !ours)
      out.push_back(i);
  }
  return out;
}

LineChecker::LineChecker(int fd) : fd_(fd), t_([this] { run(); }) {}

LineChecker::~LineChecker()
{
  stop_ = true;
  t_.join();
}

void LineChecker::run()
{
  std::string pending;
  bool banner = true;
  std::vector<char> buf(65536);
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n <= 0) {
      ended_ = true;
      return;
    }
    pending.append(buf.data(), static_cast<size_t>(n));
    size_t lf;
    while ((lf = pending.find('\n')) != std::string::npos) {
      std::string l = pending.substr(0, lf + 1);
      pending.erase(0, lf + 1);
      bool ok = l[0] == '#' && (banner ? l.size() < 2 || l[l.size() - 2] != '\r'
                                       : l.size() >= 8 && l[l.size() - 2] == '\r');
      banner = false;
      std::lock_guard<std::mutex> g(mu_);
      if (!ok && bad_.size() < 10)
        bad_.push_back(l);
      l.resize(l.size() - (l.size() >= 2 && l[l.size() - 2] == '\r' ? 2 : 1));
      lines_.push_back(std::move(l));
    }
  }
}

bool LineChecker::wait_line(const std::string& line, std::chrono::milliseconds timeout)
{
  return wait_until(
      [&] {
        std::lock_guard<std::mutex> g(mu_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
      },
      timeout);
}

size_t LineChecker::lines()
{
  std::lock_guard<std::mutex> g(mu_);
  return lines_.size();
}

std::vector<std::string> LineChecker::malformed()
{
  std::lock_guard<std::mutex> g(mu_);
  return bad_;
}

bool LineChecker::ended() { return ended_; }

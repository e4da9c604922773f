#include "abuse/abuse.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/map.h"
#include "support/sim_process.h"

int abuse_connect(int port, bool nonblocking, int rcvbuf)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0)
    return -1;
  if (rcvbuf > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

void abuse_reset(int fd)
{
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

void abuse_fd_limit(rlim_t n)
{
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  if (r.rlim_cur < n) {
    r.rlim_cur = std::min(n, r.rlim_max);
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

static int count_entries(const std::string& dir)
{
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    n++;
  return n;
}

int abuse_threads(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/task"); }
int abuse_fds(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/fd"); }

int abuse_max_fd(pid_t pid)
{
  int top = -1;
  std::error_code ec;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    top = std::max(top, std::stoi(e.path().filename().string()));
  return top;
}

bool abuse_ticking(MonitorClient& host)
{
  uint32_t first = host.read_u32(MAP_LOOP_COUNT);
  return wait_until([&] { return host.read_u32(MAP_LOOP_COUNT) - first >= 3; }, 20s, 20ms);
}

uint32_t abuse_passes(MonitorClient& host, std::chrono::milliseconds window)
{
  uint32_t first = host.read_u32(MAP_LOOP_COUNT);
  std::this_thread::sleep_for(window);
  return host.read_u32(MAP_LOOP_COUNT) - first;
}

bool abuse_daemon_field(uint32_t off)
{
  auto in = [off](uint32_t from, uint32_t n) { return off >= from && off < from + n; };
  return in(MAP_SW_IN, 2 * MAP_SW_COUNT) || in(MAP_LOOP_COUNT, 4) || in(MAP_TTIME, 1) ||
         in(MAP_IP_OUT, 2 * MAP_CHANNELS) || in(MAP_IP_COUNT, MAP_CHANNELS) || in(MAP_SV_POS, 64);
}

std::vector<uint8_t> abuse_map(MonitorClient& host) { return host.read_map(0, MAP_SIZE); }

std::vector<uint32_t> abuse_changed(const std::vector<uint8_t>& before,
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
    if (before[i] != after[i] && !abuse_daemon_field(i) && !ours)
      out.push_back(i);
  }
  return out;
}

AbuseReader::AbuseReader(int fd) : fd_(fd), t_([this] { run(); }) {}

AbuseReader::~AbuseReader()
{
  stop_ = true;
  t_.join();
}

void AbuseReader::run()
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

bool AbuseReader::wait_line(const std::string& line, std::chrono::milliseconds timeout)
{
  return wait_until(
      [&] {
        std::lock_guard<std::mutex> g(mu_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
      },
      timeout);
}

size_t AbuseReader::lines()
{
  std::lock_guard<std::mutex> g(mu_);
  return lines_.size();
}

std::vector<std::string> AbuseReader::malformed()
{
  std::lock_guard<std::mutex> g(mu_);
  return bad_;
}

bool AbuseReader::ended() { return ended_; }

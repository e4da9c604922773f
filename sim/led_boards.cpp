#include "sim/led_boards.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

led_boards::~led_boards()
{
  if (fd_ >= 0)
    close(fd_);
  if (!path_.empty())
    unlink(path_.c_str());
}

// The model holds the FIFO open for writing too, so its reads never see an end and the daemon's
// writes always have a reader.
bool led_boards::init(const std::string& path)
{
  path_ = path;
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    fprintf(stderr, "orvane-sim: cannot make %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    fprintf(stderr, "orvane-sim: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

void led_boards::run()
{
  uint8_t buf[IX_PACKET_SIZE];
  size_t have = 0;
  while (!stop_.load(std::memory_order_relaxed)) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
      continue;
    ssize_t n = read(fd_, buf + have, sizeof buf - have);
    if (n <= 0)
      continue;
    have += static_cast<size_t>(n);
    if (have == sizeof buf) {
      take(buf);
      have = 0;
    }
  }
}

void led_boards::stop() { stop_.store(true, std::memory_order_relaxed); }

void led_boards::take(const uint8_t* bytes)
{
  led_packet pk;
  memcpy(pk.bytes, bytes, sizeof pk.bytes);
  pk.fixed_ok = memcmp(bytes, ix_head, sizeof ix_head) == 0 &&
                memcmp(bytes + IX_DATA + IX_LEDS, ix_tail, sizeof ix_tail) == 0;
  std::lock_guard<std::mutex> g(mu_);
  pk.seq = count_++;
  int b = static_cast<int>(pk.seq % 2);
  pk.board = b == 0 ? 'A' : 'B';
  if (pk.fixed_ok) {
    memcpy(last_[b], bytes + IX_DATA, IX_LEDS);
    seen_[b] = true;
  } else {
    bad_++;
  }
  kept_.push_back(pk);
  if (kept_.size() > KEEP)
    kept_.pop_front();
  cv_.notify_all();
}

uint64_t led_boards::count() const
{
  std::lock_guard<std::mutex> g(mu_);
  return count_;
}

uint64_t led_boards::bad() const
{
  std::lock_guard<std::mutex> g(mu_);
  return bad_;
}

bool led_boards::last(char board, uint8_t leds[IX_LEDS]) const
{
  int b = board == 'A' ? 0 : 1;
  std::lock_guard<std::mutex> g(mu_);
  memcpy(leds, last_[b], IX_LEDS);
  return seen_[b];
}

std::vector<led_packet> led_boards::packets(uint64_t from) const
{
  std::lock_guard<std::mutex> g(mu_);
  std::vector<led_packet> out;
  for (const auto& pk : kept_)
    if (pk.seq >= from)
      out.push_back(pk);
  return out;
}

bool led_boards::wait_count(uint64_t n, std::chrono::milliseconds timeout) const
{
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, timeout, [&] { return count_ >= n; });
}

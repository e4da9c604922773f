#include "sim/led_boards.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  // One page, which a stall fills at once; the reader keeps up with the daemon otherwise.
  fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(PIPE_SIZE));
  return true;
}

// While the bus stalls, the pipe is kept full but for room for one packet, and emptied once per
// turn: the write that waited goes through, the next one waits for the next turn. The filler is
// zero bytes, which no packet begins with, taken out as it comes back.
void led_boards::run()
{
  uint8_t buf[IX_PACKET_SIZE];
  size_t have = 0;
  uint8_t in[2 * PIPE_SIZE];
  while (!stop_.load(std::memory_order_relaxed)) {
    int64_t stall = stall_ms_.load(std::memory_order_relaxed);
    pollfd p = {fd_, POLLIN, 0};
    if (stall == 0 && poll(&p, 1, 100) <= 0)
      continue;
    ssize_t n = read(fd_, in, sizeof in);
    for (ssize_t i = 0; i < n; i++) {
      if (have == 0 && filler_ > 0 && in[i] == 0) {
        filler_--;
        continue;
      }
      buf[have++] = in[i];
      if (have == sizeof buf) {
        take(buf);
        have = 0;
      }
    }
    if (stall > 0) {
      top_up();
      for (int64_t slept = 0; slept < stall && !stop_.load(std::memory_order_relaxed) &&
                              stall_ms_.load(std::memory_order_relaxed) != 0;
           slept += 10)
        usleep(10000);
    }
  }
}

void led_boards::top_up()
{
  static const uint8_t zeros[PIPE_SIZE] = {};
  int queued = 0;
  if (ioctl(fd_, FIONREAD, &queued) != 0)
    return;
  size_t q = static_cast<size_t>(queued);
  size_t want = PIPE_SIZE - std::min(PIPE_SIZE, std::max(q, size_t{IX_PACKET_SIZE}));
  if (want > 0 && write(fd_, zeros, want) == static_cast<ssize_t>(want))
    filler_ += want;
}

void led_boards::stall(std::chrono::milliseconds every)
{
  stall_ms_.store(every.count(), std::memory_order_relaxed);
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

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

// While the bus stalls, each turn of `stall` the pipe is emptied and left open until one write has
// come in (the one that waited, if any), then filled to the brim with zero bytes, which no packet
// begins with and which are taken out as they come back; every later write waits for the next
// turn. The pipe is filled only after that write has landed: a writer woken by the emptying must
// still find room when it runs, since the kernel does not add a woken write to a part-filled page.
// Filling at once, as the turn began, let the reader win that race over and over on a busy
// machine, and one write waited for seconds instead of one turn.
void led_boards::run()
{
  using clock = std::chrono::steady_clock;
  clock::time_point next_turn{};
  bool shut = false;  // stalled, and this turn's write has gone through
  while (!stop_.load(std::memory_order_relaxed)) {
    int64_t stall = stall_ms_.load(std::memory_order_relaxed);
    if (stall == 0) {
      shut = false;
      next_turn = {};
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0)
        drain();
      continue;
    }
    clock::time_point now = clock::now();
    if (now >= next_turn) {
      drain();
      shut = false;
      next_turn = now + std::chrono::milliseconds(stall);
    }
    // Short waits, so that stop() and a change of the stall are seen soon.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_turn - now).count();
    int wait_ms = static_cast<int>(std::clamp<int64_t>(left, 1, 10));
    pollfd p = {fd_, static_cast<short>(shut ? 0 : POLLIN), 0};
    if (poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN) && !shut) {
      fill();
      shut = true;  // even if the filler did not fit: no spinning on a readable pipe
    }
  }
}

// Takes all that is in the pipe: packets, and the filler that came back with them.
void led_boards::drain()
{
  uint8_t in[2 * PIPE_SIZE];
  ssize_t n = read(fd_, in, sizeof in);
  for (ssize_t i = 0; i < n; i++) {
    if (have_ == 0 && filler_ > 0 && in[i] == 0) {
      filler_--;
      continue;
    }
    buf_[have_++] = in[i];
    if (have_ == sizeof buf_) {
      take(buf_);
      have_ = 0;
    }
  }
}

// Fills the pipe to the brim behind what the daemon wrote since the last drain, which starts a
// fresh page. A write that slips in between the count and the filler makes the filler too long
// to fit, and it goes in whole or not at all: count again.
void led_boards::fill()
{
  static const uint8_t zeros[PIPE_SIZE] = {};
  for (int tries = 0; tries < 4; tries++) {
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0)
      return;
    size_t want = PIPE_SIZE - std::min(PIPE_SIZE, static_cast<size_t>(queued));
    if (want == 0)
      return;
    if (write(fd_, zeros, want) == static_cast<ssize_t>(want)) {
      filler_ += want;
      return;
    }
  }
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

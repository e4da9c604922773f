#include "core/out.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

static int out_fd = -1;  // set before the writer starts, then read by the writer only
// Marks counted and not yet taken by the writer. A stalled reader costs a count, not a buffer.
static std::atomic<uint32_t> out_marks{0};
static std::atomic<uint32_t> out_wake{0};  // bumped by every request; the writer waits on it
static std::atomic<const char*> out_line{nullptr};  // the control loop's line, until taken
// The control loop's bounded wait for its line; the tick never touches these. Statically
// initialised and never destroyed: the writer may still use them while the process exits.
static pthread_mutex_t out_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t out_cv = PTHREAD_COND_INITIALIZER;
static bool out_said;  // guarded by out_mu

static constexpr auto out_spaces = [] {
  std::array<char, 256> a{};
  a.fill(' ');
  return a;
}();

// notify_one makes a system call only while the writer sleeps, and never waits.
static void out_kick()
{
  out_wake.fetch_add(1, std::memory_order_release);
  out_wake.notify_one();
}

void out_mark()
{
  out_marks.fetch_add(1, std::memory_order_relaxed);
  out_kick();
}

// Writes all of p[0..n), going on after a partial write or a signal, and waiting for room should
// someone have made the shared descriptor non-blocking. Any other failure (the reader has gone:
// EPIPE, with SIGPIPE blocked here) drops the bytes: standard output's failures are ignored.
static void out_put(const char* p, size_t n)
{
  while (n > 0) {
    ssize_t r = write(out_fd, p, n);
    if (r > 0) {
      p += r;
      n -= static_cast<size_t>(r);
    } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pf{out_fd, POLLOUT, 0};
      poll(&pf, 1, -1);
    } else if (r == 0 || errno != EINTR) {
      return;
    }
  }
}

static void out_flush_marks()
{
  uint32_t n;
  while ((n = out_marks.exchange(0, std::memory_order_acquire)) != 0) {
    while (n > 0) {
      uint32_t k = n < out_spaces.size() ? n : static_cast<uint32_t>(out_spaces.size());
      out_put(out_spaces.data(), k);
      n -= k;
    }
  }
}

// The wake count is read before the work is looked at, so a request that comes in meanwhile
// changes it and the wait returns at once: no request is missed.
static void* pthread_out(void*)
{
  for (;;) {
    uint32_t seen = out_wake.load(std::memory_order_acquire);
    out_flush_marks();
    if (const char* line = out_line.exchange(nullptr, std::memory_order_acq_rel)) {
      out_flush_marks();  // every mark counted before the line was handed over goes first
      out_put(line, strlen(line));
      pthread_mutex_lock(&out_mu);
      out_said = true;
      pthread_cond_broadcast(&out_cv);
      pthread_mutex_unlock(&out_mu);
    }
    out_wake.wait(seen, std::memory_order_acquire);
  }
  return nullptr;
}

// The writer blocks every signal: the tick's belongs to the tick thread, and SIGPIPE must turn
// into EPIPE here. Should the thread not start, marks are only counted and out_say gives up after
// its limit; the daemon runs on, as with its other threads.
void out_init(int fd)
{
  out_fd = fd;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  pthread_create(&t, &detached, pthread_out, nullptr);
  pthread_attr_destroy(&detached);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool out_say(const char* line, std::chrono::milliseconds limit)
{
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  long long ns = end.tv_nsec + static_cast<long long>(limit.count() % 1000) * 1000000;
  end.tv_sec += static_cast<time_t>(limit.count() / 1000 + ns / 1000000000);
  end.tv_nsec = static_cast<long>(ns % 1000000000);

  pthread_mutex_lock(&out_mu);
  out_said = false;
  out_line.store(line, std::memory_order_release);
  out_kick();
  int err = 0;
  while (!out_said && err != ETIMEDOUT)
    err = pthread_cond_clockwait(&out_cv, &out_mu, CLOCK_MONOTONIC, &end);
  bool said = out_said;
  pthread_mutex_unlock(&out_mu);
  return said;
}

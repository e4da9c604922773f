#include "sim/out_tap.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "sim/console.h"
#include "sim/sim.h"

static int tap_fd = -1;  // the pipe's read end; set before the thread starts
static std::atomic<uint64_t> tap_marks;
static std::mutex tap_mu;  // one reader at a time, and the line being gathered
static char tap_line[256];
static size_t tap_n;

// A space that begins a line is a mark (the daemon prints marks between its lines, never in
// them); other bytes gather into a line, shown when it ends or fills the buffer.
static void tap_take(const char* p, size_t n)
{
  for (size_t i = 0; i < n; i++) {
    if (p[i] == ' ' && tap_n == 0) {
      tap_marks.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    if (p[i] != '\n')
      tap_line[tap_n++] = p[i];
    if (p[i] == '\n' || tap_n == sizeof tap_line) {
      sim_console_say(std::string(tap_line, tap_n) + "\n");
      tap_n = 0;
    }
  }
}

// Reads what is there without waiting; false once the daemon's end of the pipe has closed.
static bool tap_read()
{
  std::lock_guard<std::mutex> g(tap_mu);
  for (;;) {
    char buf[512];
    ssize_t n = read(tap_fd, buf, sizeof buf);
    if (n > 0)
      tap_take(buf, static_cast<size_t>(n));
    else
      return n < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

static void* tap_run(void*)
{
  pollfd p = {tap_fd, POLLIN, 0};
  while (poll(&p, 1, -1) >= 0 || errno == EINTR)
    if (!tap_read())
      break;
  return nullptr;
}

bool sim_tap_start()
{
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0)
    return false;
  // Only the read end waits for nothing: descriptor 1 stays blocking, as the daemon expects.
  if (fcntl(p[0], F_SETFL, O_NONBLOCK) != 0 || dup2(p[1], STDOUT_FILENO) < 0) {
    close(p[0]);
    close(p[1]);
    return false;
  }
  close(p[1]);
  tap_fd = p[0];
  atexit(sim_tap_drain);  // a set-up failure ends the daemon with exit(): its line must show
  sim_thread(tap_run, nullptr);
  return true;
}

bool sim_tap_on() { return tap_fd >= 0; }

uint64_t sim_tap_marks() { return tap_marks.load(std::memory_order_relaxed); }

void sim_tap_drain()
{
  if (tap_fd < 0)
    return;
  tap_read();
  std::lock_guard<std::mutex> g(tap_mu);
  if (tap_n > 0)
    tap_take("\n", 1);
}

#include "core/tick.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/handoff.h"
#include "core/map.h"
#include "core/out.h"
#include "core/platform.h"

timer_t timer0_id;
std::atomic<int32_t> sys_t0{0};

static pthread_t timer0_thread;
static std::atomic<bool> timer0_running{false};
// Last period that the timer accepts; written by timer0_init, then by the tick thread only, and
// read by the control loop.
static std::atomic<int32_t> timer0_us{16667};

int timer0_signo() { return SIGRTMIN + 1; }

// The control loop sleeps on sys_t0's own word with futex calls. The standard library's wait
// first spins and yields: four sched_yield calls per tick, each a chance to be switched out,
// before it sleeps anyway, since the next tick is 16 ms away.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
              std::atomic<int32_t>::is_always_lock_free);
static void* sys_t0_word() { return &sys_t0; }

void sys_t0_wait(int32_t seen)
{
  syscall(SYS_futex, sys_t0_word(), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

static void sys_t0_wake()
{
  syscall(SYS_futex, sys_t0_word(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

int32_t timer0_period() { return timer0_us.load(std::memory_order_relaxed); }

void timer0_block()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, timer0_signo());
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// A delivery to a thread that does not block the signal is handed on to the tick thread, which
// alone may do the tick's work; pthread_kill is safe in a signal handler.
static void timer0_stray(int signum, siginfo_t*, void*)
{
  if (timer0_running.load(std::memory_order_acquire))
    pthread_kill(timer0_thread, signum);
}

// Periods outside 1..999,999 us would leave the timer disarmed for good (zero, negative, or a
// nanosecond count the timer refuses), freezing the robot; such a value keeps the last valid one.
void timer0_settime()
{
  int32_t us = mem_r32(MAP_TICK_PERIOD);
  if (us >= 1 && us <= 999999)
    timer0_us.store(us, std::memory_order_relaxed);
  itimerspec its{};
  its.it_value.tv_nsec = static_cast<long>(timer0_us.load(std::memory_order_relaxed)) * 1000;
  timer_settime(timer0_id, 0, &its, nullptr);
}

void timer0_handler(int, siginfo_t*, void*)
{
  if (plat.tick_probe)
    plat.tick_probe();
  timer0_settime();
  // The overrun mark is only counted here; the writer thread prints it, so a reader that
  // stalls standard output never holds up the tick.
  if (sg_busy.load(std::memory_order_relaxed))
    out_mark();
  else
    pthread_cond_signal(&sg_cond);
  sys_t0.fetch_add(1, std::memory_order_relaxed);
  sys_t0_wake();
}

static void* pthread_timer0(void*)
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, timer0_signo());
  for (;;) {
    siginfo_t info;
    int signum = sigwaitinfo(&set, &info);
    if (signum > 0)
      timer0_handler(signum, &info, nullptr);
  }
  return nullptr;
}

void timer0_init()
{
  timer0_block();

  struct sigaction sa{};
  sa.sa_sigaction = timer0_stray;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  if (sigaction(timer0_signo(), &sa, nullptr) != 0) {
    perror("sigaction error");
    exit(1);
  }

  sigevent sev{};
  sev.sigev_notify = SIGEV_SIGNAL;
  sev.sigev_signo = timer0_signo();
  sev.sigev_value.sival_int = 0;
  if (timer_create(CLOCK_REALTIME, &sev, &timer0_id) != 0) {
    perror("timer_create error");
    exit(1);
  }

  // Armed before the tick thread exists: the first expiry stays pending until it waits.
  timer0_settime();
  int err = pthread_create(&timer0_thread, nullptr, pthread_timer0, nullptr);
  if (err != 0) {
    errno = err;
    perror("tick thread error");
    exit(1);
  }
  timer0_running.store(true, std::memory_order_release);
}

#include "bench/reftimer.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "bench/probe.h"

namespace {

struct ref_timer {
  int signo;
  bool absolute;
  long period_ns;
  timer_t id;
  probe_log* log;
  const char* name;
};

ref_timer ref_rel{0, false, 0, {}, &probe_rel, "ref-relative"};
ref_timer ref_abs{0, true, 0, {}, &probe_abs, "ref-absolute"};

int ref_signo(const ref_timer& r) { return r.absolute ? SIGRTMIN + 3 : SIGRTMIN + 2; }

void ref_arm(ref_timer& r, long ns)
{
  itimerspec its{};
  its.it_value.tv_nsec = ns;
  timer_settime(r.id, 0, &its, nullptr);
}

// Mirrors the daemon's tick thread: mark, then re-arm, for the relative timer; the absolute one
// was armed once with its interval and only marks.
void* ref_thread(void* p)
{
  ref_timer& r = *static_cast<ref_timer*>(p);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, r.signo);
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&set, &info) <= 0)
      continue;
    probe_mark(*r.log);
    if (!r.absolute)
      ref_arm(r, r.period_ns);
  }
  return nullptr;
}

// The first expiry comes `phase` of a period after now. The daemon's tick and the two
// references expire a third of a period apart, so that on a small machine none of them waits
// for a CPU because another woke at the same instant.
void ref_create(ref_timer& r, long period_us, double phase)
{
  r.signo = ref_signo(r);
  r.period_ns = period_us * 1000;
  long first_ns = static_cast<long>(static_cast<double>(r.period_ns) * phase);
  sigevent sev{};
  sev.sigev_notify = SIGEV_SIGNAL;
  sev.sigev_signo = r.signo;
  if (timer_create(CLOCK_REALTIME, &sev, &r.id) != 0) {
    perror("reference timer_create");
    exit(1);
  }
  pthread_t t;
  if (pthread_create(&t, nullptr, ref_thread, &r) != 0) {
    fprintf(stderr, "cannot start the reference timer thread\n");
    exit(1);
  }
  pthread_setname_np(t, r.name);
  pthread_detach(t);
  if (r.absolute) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    itimerspec its{};
    its.it_interval.tv_nsec = r.period_ns;
    its.it_value = now;
    its.it_value.tv_nsec += first_ns;
    if (its.it_value.tv_nsec >= 1000000000) {
      its.it_value.tv_sec++;
      its.it_value.tv_nsec -= 1000000000;
    }
    timer_settime(r.id, TIMER_ABSTIME, &its, nullptr);
  } else {
    ref_arm(r, first_ns);
  }
}

}  // namespace

void ref_block()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, ref_signo(ref_rel));
  sigaddset(&set, ref_signo(ref_abs));
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ref_start(long period_us)
{
  ref_create(ref_rel, period_us, 1.0 / 3);
  ref_create(ref_abs, period_us, 2.0 / 3);
}

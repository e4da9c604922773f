// The tick timer: the daemon's only clock. A one-shot POSIX timer on CLOCK_REALTIME, re-armed on
// every expiry. Its signal is blocked in every thread and taken by the tick thread with
// sigwaitinfo, so the tick's work (re-arm, wake the servo thread or mark an overrun, count the
// tick) runs as ordinary code on that thread. The tick thread owns the timer and writes sys_t0.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>

extern timer_t timer0_id;
extern std::atomic<int32_t> sys_t0;  // ticks so far, written and notified by the tick thread only
void sys_t0_wait(int32_t seen);      // sleeps until a tick is counted, unless one already was

int timer0_signo();  // SIGRTMIN+1
void timer0_block();  // blocks the tick signal in the calling thread (and the threads it starts)
void timer0_init();   // installs the tick, arms it and starts the tick thread; exits on failure
void timer0_settime();  // arms one tick from tick_period (the last valid one if out of range)
int32_t timer0_period();  // the period the timer keeps, in microseconds (1..999,999); any thread
void timer0_handler(int signum, siginfo_t* info, void* ctxt);  // one tick's work

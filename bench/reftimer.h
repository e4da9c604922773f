// Reference timers for the tick benchmark, run in the same process as the daemon's tick: one of
// the daemon's design (one-shot, re-armed relative on every expiry) and one absolute periodic
// timer (the drift-free limit). Each is owned by its own thread, which takes its signal with
// sigwaitinfo and marks every expiry in its probe log.
#pragma once

void ref_block();  // blocks both reference signals; call on the initial thread before any thread
// Creates, arms and starts both timers and their threads; call just before the daemon arms its
// own tick, so that the three keep a third of a period apart.
void ref_start(long period_us);

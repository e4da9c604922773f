// The tick's hand-off to the servo thread: the only lock in the daemon. The servo thread holds
// sg_mutex while it waits and for every cycle, and alone writes sg_busy; the tick thread reads
// sg_busy and signals sg_cond. Both are valid from static initialisation.
#pragma once

#include <pthread.h>

#include <atomic>

extern pthread_mutex_t sg_mutex;  // held by the servo thread for its wait and every cycle
extern pthread_cond_t sg_cond;    // signalled by the tick thread to wake the servo thread
extern std::atomic<int> sg_busy;  // 1 while a cycle runs; written by the servo thread only

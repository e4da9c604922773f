// The servo exchange: the servo thread owns the serial line and runs one exchange cycle per tick.
// sg_mutex is held by the servo thread only; the tick thread reads sg_busy and signals sg_cond.
#pragma once

#include <pthread.h>

#include <atomic>

extern pthread_mutex_t sg_mutex;  // held by the servo thread for its wait and every cycle
extern pthread_cond_t sg_cond;    // signalled by the tick thread to wake the servo thread
extern std::atomic<int> sg_busy;  // 1 while a cycle runs; written by the servo thread only

void* pthread_sg(void* p);  // entry of the servo thread; never returns

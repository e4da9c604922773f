#include "servo/sg.h"

pthread_mutex_t sg_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t sg_cond = PTHREAD_COND_INITIALIZER;
std::atomic<int> sg_busy{0};

// Placeholder until the serial exchange lands: waits for ticks and does nothing with them.
void* pthread_sg(void*)
{
  pthread_mutex_lock(&sg_mutex);
  for (;;) {
    pthread_cond_wait(&sg_cond, &sg_mutex);
    sg_busy.store(1, std::memory_order_relaxed);
    sg_busy.store(0, std::memory_order_relaxed);
  }
  return nullptr;
}

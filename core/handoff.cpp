#include "core/handoff.h"

pthread_mutex_t sg_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t sg_cond = PTHREAD_COND_INITIALIZER;
std::atomic<int> sg_busy{0};

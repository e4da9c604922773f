#include "monitor/dbgs.h"

std::atomic<int32_t> dbgs_status{0};

// Placeholder until the monitor lands.
void* pthread_dbgs0(void*) { return nullptr; }

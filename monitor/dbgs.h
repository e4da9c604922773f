// The monitor server: the TCP listener and one thread per host connection, reading and writing the
// memory map with hexadecimal command lines.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> dbgs_status;  // how far the listener came; written by the listener

void* pthread_dbgs0(void* p);  // listener thread

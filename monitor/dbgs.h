// The monitor server: the TCP listener and one thread per host connection, reading and writing the
// memory map with hexadecimal command lines. dbgs_status belongs to the listener thread; each
// connection thread owns its socket and line buffer.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> dbgs_status;  // how far the listener came; written by the listener

void* pthread_dbgs0(void* p);   // listener thread; p is unused
void* pthread_dbgs1(void* p0);  // connection thread; p0 carries the socket descriptor

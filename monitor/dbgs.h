// The monitor server: the TCP listener and one thread per host connection, reading and writing the
// memory map with hexadecimal command lines. dbgs_status belongs to the listener thread; each
// connection thread owns its socket and line buffer. A connection that writes an exit or
// power-off request holds the daemon's end until it has delivered its answers; the control loop
// only asks dbgs_holding.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> dbgs_status;  // how far the listener came; written by the listener

// A closing connection waits this long at most for its host to take the answers and end its side.
// What the host sent before it saw the end arrives within a round trip; 2 s is twice TCP's first
// retransmission time-out, so a segment lost on the way is sent again and still arrives. A daemon
// asked to end waits no longer for a host that never reads nor closes.
constexpr int DBGS_LINGER_MS = 2000;

// True while a connection that wrote an end request is still delivering (DBGS_LINGER_MS at most).
// Called by the control loop after it has read a request byte set, and only then.
bool dbgs_holding();

void* pthread_dbgs0(void* p);   // listener thread; p is unused
void* pthread_dbgs1(void* p0);  // connection thread; p0 carries the socket descriptor

// The monitor's line reader: cuts a connection's byte stream into command lines, taking the bytes
// from the socket in blocks rather than one receive per byte. Pure logic over a byte source, so
// tests and the fuzz targets drive it without sockets. Each reader belongs to one connection
// thread, which is the only reader of its socket: bytes read ahead stay with the connection.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Where the bytes come from: get() as recv(2) answers (bytes, 0 once the host has closed its
// side, -1 with errno on a failure); pause() after a zero-byte receive.
struct dbgs_src {
  ssize_t (*get)(void* ctx, char* p, size_t n);
  void (*pause)(void* ctx);
  void* ctx;
};

constexpr int DBGS_ERRCT_MAX = 10;       // zero-byte receives a line may meet; one more closes
constexpr size_t DBGS_RD_BLOCK = 4096;   // bytes asked for by one receive

struct dbgs_rd {
  dbgs_src src;
  size_t at = 0, end = 0;  // block[at..end) is received and not yet handed out
  char block[DBGS_RD_BLOCK];
};

// Reads one line into line (DBGS_BUF bytes), without its LF and zero-terminated; a line is cut
// after DBGS_BUF-1 characters and the rest becomes the next line. False when the connection is to
// be closed: more than DBGS_ERRCT_MAX zero-byte receives within one line, or a failed receive
// other than an interrupted one.
bool dbgs_getline(dbgs_rd* r, char* line);

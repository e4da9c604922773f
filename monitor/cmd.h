// Monitor commands: one received line in, dump lines out through a sink. adr and len are shared
// by every connection thread (relaxed atomics, no lock); the map is reached only through the
// map's access helpers and only inside its 4096 bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/map.h"

extern std::atomic<int32_t> adr;  // start of a dump without an address; set by dumps and writes
extern std::atomic<int32_t> len;  // bytes of a dump without a count; set by dumps

constexpr size_t DBGS_BUF = 2048;  // a received line: up to 2047 characters and its zero
// An 'R' line for the whole map: "#", address, blank, 3 per byte, CR LF and a terminating zero.
constexpr size_t DBGS_OUT = 3 * MAP_SIZE + 9;

// Where answer lines go: put(ctx, text, length) once per line, each line ending in CR LF.
struct dbgs_sink {
  void (*put)(void* ctx, const char* s, size_t n);
  void* ctx;
};

// Carries out one zero-terminated line (without its LF); true when it is a quit command.
bool dbgs_exec(const char* line, const dbgs_sink& out);
// True when the line is a write command, the only one that changes the map.
bool dbgs_writes(const char* line);
// True when the line is a write that stores a nonzero byte into exit_req or poweroff_req: the
// line that ends the daemon. Reads the line only.
bool dbgs_ends(const char* line);

// Servo packets: the bytes the servo exchange puts on the line and the replies it accepts.
// Pure functions on caller-owned buffers; no state, no I/O, callable from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr size_t SV_BUF_SIZE = 256;  // the exchange's packet buffer
constexpr size_t SV_LONG_HEAD = 7;   // header, id, flags, address, length, count
constexpr size_t SV_QUERY_LEN = 8;
constexpr size_t SV_REPLY_LEN = 10;
constexpr size_t SV_LONG_MAX = (SV_BUF_SIZE - 16) / 6;  // 40 servos fill the buffer

constexpr uint8_t SV_REG_GOAL = 0x1E;    // goal position, 2 bytes
constexpr uint8_t SV_REG_TORQUE = 0x23;  // maximum torque, then torque on/off
constexpr uint8_t SV_REG_POS = 0x2A;     // present position, 2 bytes

// Bytes of a long packet for n servos, and of both long packets together.
constexpr size_t sv_long_len(size_t n) { return 8 + 3 * n; }
constexpr size_t sv_longs_len(size_t n) { return 16 + 6 * n; }

// XOR of the bytes from p up to, not including, q; 0 when p is not below q.
int futaba_csum(const uint8_t* p, const uint8_t* q);

// One servo of the long packets: its id and the value for one register.
struct sv_entry {
  uint8_t id;
  int16_t value;
};

// Where the long packets' entries come from. The builder asks for entry i of the list as it
// reaches it, once for each packet, naming the register (SV_REG_TORQUE, then SV_REG_GOAL), so a
// source that reads shared state reads each value when its entry is built and never before.
struct sv_source {
  sv_entry (*entry)(const void* ctx, uint32_t i, uint8_t reg);
  const void* ctx;
};

// Both long packets for n <= SV_LONG_MAX servos, torque packet first; returns their length.
size_t sv_build_longs(uint8_t* buf, size_t n, bool torque_on, sv_source src);

// The position query for servo `id`; returns its length, SV_QUERY_LEN.
size_t sv_build_query(uint8_t* buf, uint8_t id);

// Accepts a position reply from servo `id` of which `got` bytes arrived; on success stores the
// present position in *pos.
bool sv_accept_reply(const uint8_t* buf, ssize_t got, uint8_t id, uint16_t* pos);

// The memory map: the 4096 bytes through which the whole daemon and its hosts share state.
// No owner and no lock: every thread reads and writes it, and every access goes through the
// helpers below as one aligned, relaxed atomic load or store of 8, 16 or 32 bits.
#pragma once

#include <bit>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "map words are little-endian");

constexpr uint32_t MAP_SIZE = 0x1000;

// Layout of the map (offsets in bytes).
constexpr uint32_t MAP_ONE = 0x0010;           // 16-bit, constant 1
constexpr uint32_t MAP_ROBOT_NAME = 0x0020;    // zero-terminated text, up to 0x003F
constexpr uint32_t MAP_TICK_PERIOD = 0x0040;   // int32, tick period in microseconds
constexpr uint32_t MAP_SV_TORQUE_ON = 0x0048;  // int16, torque switch of the servo bus
constexpr uint32_t MAP_SV_COMM_ON = 0x004A;    // int16, servo communication switch
constexpr uint32_t MAP_LED_ON = 0x004C;        // int16, LED refresh switch
constexpr uint32_t MAP_EXIT_REQ = 0x0050;      // byte, nonzero ends the daemon
constexpr uint32_t MAP_POWEROFF_REQ = 0x0051;  // byte, nonzero powers the board off
constexpr uint32_t MAP_SW_IN = 0x0060;         // 5 x int16, switch states
constexpr uint32_t MAP_LOOP_COUNT = 0x0080;    // uint32, control-loop passes
constexpr uint32_t MAP_WR_LIST = 0x00A0;       // byte, write-list flag
constexpr uint32_t MAP_WR_COUNT = 0x00A1;      // byte, servos in the write list
constexpr uint32_t MAP_WR_IDS = 0x00A2;        // 30 bytes, write-list servo ids
constexpr uint32_t MAP_RD_GROUP = 0x00C0;      // 4 x 16 bytes: enable, count, 14 ids
constexpr uint32_t MAP_IP_TARGET = 0x0A00;     // 128 x int16, interpolator targets
constexpr uint32_t MAP_IP_ENABLE = 0x0B00;     // 128 bytes, channel enables
constexpr uint32_t MAP_TTIME = 0x0B80;         // byte, move trigger (steps)
constexpr uint32_t MAP_IP_OUT = 0x0C00;        // 128 x int16, interpolator outputs
constexpr uint32_t MAP_LED_A = 0x0C80;         // ip_out channels 64..71, LED board A
constexpr uint32_t MAP_LED_B = 0x0C90;         // ip_out channels 72..79, LED board B
constexpr uint32_t MAP_IP_COUNT = 0x0D00;      // 128 bytes, steps left per channel
constexpr uint32_t MAP_SV_POS = 0x0D80;        // 32 x int16, present positions of ids 1..32

constexpr uint32_t MAP_SW_COUNT = 5;
constexpr uint32_t MAP_WR_ROOM = 30;
constexpr uint32_t MAP_RD_GROUPS = 4;
constexpr uint32_t MAP_RD_GROUP_SIZE = 16;
constexpr uint32_t MAP_RD_ROOM = 14;
constexpr uint32_t MAP_CHANNELS = 128;
constexpr uint32_t MAP_SV_IDS = 32;  // servo ids 1..32 have a word in sv_pos
constexpr int16_t SV_NO_READING = INT16_MIN;  // 0x8000

// Per-servo addresses; every byte id gives an offset inside the map, but only ids 1..MAP_SV_IDS
// give one inside sv_pos.
constexpr uint32_t map_sv_goal(uint8_t id) { return MAP_IP_OUT + 2u * id; }
constexpr uint32_t map_sv_torque(uint8_t id) { return MAP_IP_OUT + 0x40u + 2u * id; }
constexpr uint32_t map_sv_pos(uint8_t id) { return MAP_SV_POS - 2u + 2u * id; }

// The map itself; word alignment lets 16- and 32-bit fields be accessed whole.
alignas(4) extern uint8_t mem[MAP_SIZE];

// Access helpers. Offsets must lie inside the map and be aligned to the width. The alignment is
// stated with __builtin_assume_aligned rather than left to the cast: clang would otherwise take
// the byte array's alignment, compile every access as a call into libatomic, and warn; its
// UBSan also checks the stated alignment, so a misaligned offset shows there.
using map_u16 = uint16_t __attribute__((may_alias));
using map_u32 = uint32_t __attribute__((may_alias));

inline uint8_t mem_r8(uint32_t off) { return __atomic_load_n(&mem[off], __ATOMIC_RELAXED); }
inline uint16_t mem_ru16(uint32_t off)
{
  return __atomic_load_n(static_cast<map_u16*>(__builtin_assume_aligned(&mem[off], 2)),
                         __ATOMIC_RELAXED);
}
inline int16_t mem_r16(uint32_t off) { return static_cast<int16_t>(mem_ru16(off)); }
inline uint32_t mem_ru32(uint32_t off)
{
  return __atomic_load_n(static_cast<map_u32*>(__builtin_assume_aligned(&mem[off], 4)),
                         __ATOMIC_RELAXED);
}
inline int32_t mem_r32(uint32_t off) { return static_cast<int32_t>(mem_ru32(off)); }

inline void mem_w8(uint32_t off, uint8_t v) { __atomic_store_n(&mem[off], v, __ATOMIC_RELAXED); }
// A byte that hands other state over (the end requests and the monitor's hold on the end): stored
// with release after that state, read with acquire before it.
inline void mem_w8_release(uint32_t off, uint8_t v)
{
  __atomic_store_n(&mem[off], v, __ATOMIC_RELEASE);
}
inline uint8_t mem_r8_acquire(uint32_t off) { return __atomic_load_n(&mem[off], __ATOMIC_ACQUIRE); }
inline void mem_w16(uint32_t off, uint16_t v)
{
  __atomic_store_n(static_cast<map_u16*>(__builtin_assume_aligned(&mem[off], 2)), v,
                   __ATOMIC_RELAXED);
}
inline void mem_w32(uint32_t off, uint32_t v)
{
  __atomic_store_n(static_cast<map_u32*>(__builtin_assume_aligned(&mem[off], 4)), v,
                   __ATOMIC_RELAXED);
}

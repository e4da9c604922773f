// --read-all: at start the runner puts every servo of the write list into the read groups, so a
// host sees each servo's position without setting the groups first. The layout is a pure
// function on caller-owned bytes; sim_read_all writes it into the map, once, from the listener.
#pragma once

#include <cstdint>

#include "core/map.h"

constexpr unsigned SIM_RD_BYTES = MAP_RD_GROUPS * MAP_RD_GROUP_SIZE;  // the map's read groups

// Lays the ids of 1..32 in `ids` (each once, in list order) over read groups laid out as in the
// map: as few groups as keep one servo cycle's line time within most of the tick, filled evenly,
// the others cleared. `wr_count` servos share the cycle's long packets. Returns the number of
// groups used; 0 (and `groups` untouched) when no id has a position word.
unsigned sim_read_layout(const uint8_t* ids, unsigned n, unsigned wr_count, int32_t tick_us,
                         uint8_t (&groups)[SIM_RD_BYTES]);
// Lays out the map's write list and writes the layout into the map's read groups.
void sim_read_all();

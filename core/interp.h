// The motion interpolator: 128 channels ramped from their outputs to the host's targets.
// Its state `ipbuf` is owned by the control-loop thread; only that thread calls mem_proc0.
#pragma once

#include <cstdint>

#include "core/map.h"

// One channel, in fixed point with 8 fraction bits.
struct ip_channel {
  int32_t cpos;  // current position
  int32_t tpos;  // target of the current move
  int32_t spd;   // step per pass
};

extern ip_channel ipbuf[MAP_CHANNELS];  // written by the control loop only

void ip_reset();  // all channels at rest at 0, ip_count cleared
void mem_proc0();  // one interpolation step for all channels

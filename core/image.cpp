#include "core/image.h"

#include "core/interp.h"
#include "core/map.h"

// Write list (flag 1, six servos 1..6) and read group 0 (enabled, one servo, id 1).
static const uint8_t dt0[96] = {
    1, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0,  //
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
    1, 1, 1,
};

void mem_init()
{
  for (uint32_t i = 0; i < MAP_SIZE; i += 4)
    mem_w32(i, 0);
  static const char name[] = "ZIDIDOVE";
  for (uint32_t i = 0; i < sizeof name; i++)
    mem_w8(MAP_ROBOT_NAME + i, static_cast<uint8_t>(name[i]));
  mem_w16(MAP_ONE, 1);
  mem_w32(MAP_TICK_PERIOD, 16667);
  ip_reset();
  for (uint32_t i = 0; i < MAP_CHANNELS; i++)
    mem_w8(MAP_IP_ENABLE + i, 1);
  for (uint32_t i = 0; i < sizeof dt0; i++)
    mem_w8(MAP_WR_LIST + i, dt0[i]);
  mem_w16(MAP_SV_COMM_ON, 1);
  mem_w16(MAP_SV_TORQUE_ON, 1);
  mem_w16(MAP_LED_ON, 1);
}

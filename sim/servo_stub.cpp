#include "core/platform.h"
#include "sim/sim.h"

// Placeholders until the virtual servo chain lands.
void sim_servo_start(const sim_opts& o)
{
  if (o.serial_path)
    plat.serial_path = o.serial_path;
}

std::vector<sim_servo_view> sim_servo_list() { return {}; }
bool sim_servo_silence(uint8_t, bool) { return false; }

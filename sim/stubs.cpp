#include "core/platform.h"
#include "sim/sim.h"

// Placeholders until the device stand-ins land: real devices when given, else nothing.
void sim_servo_start(const sim_opts& o)
{
  if (o.serial_path)
    plat.serial_path = o.serial_path;
}

void sim_board_start(const sim_opts& o)
{
  if (o.i2c_path)
    plat.i2c_path = o.i2c_path;
}

void sim_console_start() {}

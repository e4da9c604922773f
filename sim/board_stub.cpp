#include "core/platform.h"
#include "sim/sim.h"

// Placeholders until the virtual GPIO block, LED boards and console land.
void sim_board_start(const sim_opts& o)
{
  if (o.i2c_path)
    plat.i2c_path = o.i2c_path;
}

void sim_console_start() {}

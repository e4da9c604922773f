#include "sim/runner_servos.h"

#include <cstdlib>

#include "core/platform.h"
#include "sim/sim.h"

servo_chain* sim_chain;

void sim_servo_start(const sim_opts& o)
{
  if (o.serial_path) {
    plat.serial_path = o.serial_path;
    return;
  }
  sim_chain = servo_chain::start(o.servo_ids, o.wire_timing);
  if (!sim_chain)
    exit(1);
  plat.serial_path = sim_chain->path();
}

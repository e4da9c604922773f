#include "sim/board.h"

#include <cstdlib>

#include "core/platform.h"
#include "sim/sim.h"

gpio_block* sim_gpio;
led_boards* sim_leds;

static void* sim_leds_run(void* arg)
{
  static_cast<led_boards*>(arg)->run();
  return nullptr;
}

void sim_board_start(const sim_opts& o)
{
  // The daemon maps the file at the robot's GPIO base: plat.gpio_base stays as it is.
  sim_gpio = new gpio_block;
  if (!sim_gpio->init(sim_path("mem"), plat.gpio_base))
    exit(1);
  plat.mem_path = sim_gpio->path().c_str();

  if (o.i2c_path) {
    plat.i2c_path = o.i2c_path;
    return;
  }
  sim_leds = new led_boards;
  if (!sim_leds->init(sim_path("i2c")))
    exit(1);
  plat.i2c_path = sim_leds->path().c_str();
  sim_thread(sim_leds_run, sim_leds);
}

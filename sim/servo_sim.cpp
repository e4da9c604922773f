#include <cstdio>
#include <cstdlib>

#include "core/platform.h"
#include "sim/servo_chain.h"
#include "sim/sim.h"

// The runner's virtual chain; set on the initial thread before the console thread starts.
static servo_chain* sim_chain;

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

std::vector<sim_servo_view> sim_servo_list()
{
  std::vector<sim_servo_view> v;
  if (!sim_chain)
    return v;
  for (const sv_state& s : sim_chain->servos())
    v.push_back({s.id, s.goal, s.max_torque, s.torque != 0, s.pos, s.fault == sv_fault::silent});
  return v;
}

bool sim_servo_silence(uint8_t id, bool silent)
{
  return sim_chain && sim_chain->fault(id, silent ? sv_fault::silent : sv_fault::none);
}

bool sim_servo_push(uint8_t id, int16_t pos, bool* torque_on)
{
  sv_state s;
  if (!sim_chain || !sim_chain->place(id, pos) || !sim_chain->state(id, &s))
    return false;
  *torque_on = s.torque != 0;
  return true;
}

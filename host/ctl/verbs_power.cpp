// Verbs that end the daemon: exit and poweroff. Both ask for --yes.
#include <cstdio>

#include "verbs.h"

void ctl_power_verbs(CLI::App& app, ctl& c)
{
  static bool yes_exit = false, yes_off = false;
  auto* e = ctl_verb(app, c, "exit", "End the daemon", "exit --yes", [&c] {
    if (!yes_exit)
      throw usage_error("exit ends the daemon; give --yes to confirm");
    c.client().request_exit();
    printf("the daemon at %s has ended\n", c.client().robot().c_str());
  });
  e->add_flag("--yes", yes_exit, "confirm");
  auto* p = ctl_verb(app, c, "poweroff", "Power the robot's board off", "poweroff --yes", [&c] {
    if (!yes_off)
      throw usage_error("poweroff powers the robot's board off; give --yes to confirm");
    c.client().request_poweroff();
    printf("the robot at %s is powering off\n", c.client().robot().c_str());
  });
  p->add_flag("--yes", yes_off, "confirm");
}

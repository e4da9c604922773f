// Verbs that end the daemon: exit and poweroff. Both ask for --yes.
#include <cstdio>
#include <string>

#include "verbs.h"

void ctl_power_verbs(CLI::App& app, ctl& c)
{
  // Both end the robot's work, so both ask for --yes.
  struct verb {
    const char* name;
    const char* help;
    const char* does;
    void (orvane::client::*ask)();
    const char* says;
    bool yes;
  };
  static verb verbs[] = {
      {"exit", "End the daemon", "ends the daemon", &orvane::client::request_exit, "the daemon at %s has ended\n", false},
      {"poweroff", "Power the robot's board off", "powers the robot's board off", &orvane::client::request_poweroff,
       "the robot at %s is powering off\n", false},
  };
  for (verb& v : verbs) {
    auto* cmd = ctl_verb(app, c, v.name, v.help, (std::string(v.name) + " --yes").c_str(), [&c, &v] {
      if (!v.yes)
        throw usage_error(std::string(v.name) + " " + v.does + "; give --yes to confirm");
      (c.client().*v.ask)();
      printf(v.says, c.client().robot().c_str());
    });
    cmd->add_flag("--yes", v.yes, "confirm");
  }
}

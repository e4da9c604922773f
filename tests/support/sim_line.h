// The opening of the black-box tests that speak the monitor's protocol themselves, in one line:
//   SimLine t;   // orvane-sim --no-console on a free port; t.host is a line host connected to it
// It is a SimHost (the runner, its port, the client library connected), plus the line host.
// Throws, with the runner's standard error, when the runner or either host cannot start.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/sim_host.h"

struct SimLine : SimHost {
  explicit SimLine(std::vector<std::string> args = {"--no-console"}) : SimHost(std::move(args))
  {
    if (!host.connect(port, SIM_HOST_TIMEOUT))
      throw std::runtime_error("no banner from orvane-sim; its standard error: " + sim.err());
  }
  MonitorClient host;
};

#include "support/sim_host.h"

#include <algorithm>
#include <stdexcept>

namespace {

int reported_port(SimProcess& sim)
{
  int port = sim.port(SIM_HOST_TIMEOUT);
  if (port <= 0)
    throw std::runtime_error("orvane-sim reported no port; its standard error: " + sim.err());
  return port;
}

}  // namespace

SimHost::SimHost(std::vector<std::string> args)
    : sim(std::move(args)),
      port(reported_port(sim)),
      address("127.0.0.1:" + std::to_string(port)),
      robot(address, SIM_HOST_TIMEOUT)
{
}

std::vector<uint8_t> SimHost::host_view()
{
  auto m = robot.read(0, orvane::map_size);
  for (auto name : {"sw_in", "loop_count", "ttime", "ip_out", "ip_count", "sv_pos"}) {
    const orvane::field* f = orvane::find_field(name);
    std::fill_n(m.begin() + f->offset, (f->count - 1) * f->stride + f->width, 0);
  }
  return m;
}

std::unique_ptr<orvane::client> SimHost::connect() const
{
  return std::make_unique<orvane::client>(address, SIM_HOST_TIMEOUT);
}

std::unique_ptr<MonitorClient> SimHost::line_host() const
{
  auto c = std::make_unique<MonitorClient>();
  if (!c->connect(port, SIM_HOST_TIMEOUT))
    throw std::runtime_error("no banner from orvane-sim on port " + std::to_string(port));
  return c;
}

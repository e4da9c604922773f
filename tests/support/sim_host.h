// A running orvane-sim and a host connected to it through the client library, in one line:
//   SimHost h;                        // orvane-sim --port 0, then h.robot is connected
//   h.robot.set("led_on", 0);
// The fixture SimHostTest does the same in SetUp, after skipping emulated runs without an
// emulator. Owned by the test's thread; h.robot itself may be shared (see host/client/orvane.h).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvane.h"
#include "support/emulation.h"
#include "support/monitor_client.h"
#include "support/sim_process.h"

// Generous: the suites also run under the sanitizers and the emulator.
constexpr std::chrono::milliseconds SIM_HOST_TIMEOUT = 20s;

struct SimHost {
  // Starts orvane-sim with `args` (a free port unless they name one); throws if it reports no
  // port or the host cannot connect, with the runner's standard error in the message.
  explicit SimHost(std::vector<std::string> args = {});

  SimProcess sim;
  int port;
  std::string address;  // "127.0.0.1:PORT", as orvane-ctl and the Python module take it
  orvane::client robot;

  // The whole map with the bytes the daemon keeps changing itself zeroed (sw_in, loop_count,
  // ttime, ip_out, ip_count, sv_pos): two of these differ only by what hosts wrote.
  std::vector<uint8_t> host_view();

  // Another host through the library, or a raw line host for protocol-level tests.
  std::unique_ptr<orvane::client> connect() const;
  std::unique_ptr<MonitorClient> line_host() const;
};

class SimHostTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    ORVANE_SKIP_IF_EMULATED();
    host_.emplace();
  }
  orvane::client& robot() { return host_->robot; }
  SimHost& host() { return *host_; }

 private:
  std::optional<SimHost> host_;
};

// The test helpers themselves, where a fault would make other tests pass or fail for nothing.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/emulation.h"
#include "support/sim_process.h"

namespace {

// Sets ORVANE_EMULATED for one scope and puts back what was there.
// Sets an environment variable (or removes it, for a null value) for the scope's life.
struct EnvScope {
  std::string name;
  std::optional<std::string> old;
  EnvScope(const char* n, const char* v) : name(n)
  {
    if (const char* o = getenv(n))
      old = o;
    if (v)
      setenv(n, v, 1);
    else
      unsetenv(n);
  }
  ~EnvScope()
  {
    if (old)
      setenv(name.c_str(), old->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

}  // namespace

TEST(SimProcess, PortCountsOnlyOnceTheReportLineHasEnded)
{
  // The report arrives in two pieces, split inside the number.
  SimProcess p({"-c",
                "printf 'orvane-sim: monitor listening on port 12' >&2; sleep 0.5;"
                "printf '34\\n' >&2; sleep 10"},
               "/bin/sh");
  EXPECT_EQ(p.port(10s), 1234);
}

TEST(SimProcess, MalformedPortReportGivesNoPort)
{
  SimProcess p({"-c", "echo 'orvane-sim: monitor listening on port 1x' >&2; sleep 10"}, "/bin/sh");
  EXPECT_EQ(p.port(10s), -1);
}

TEST(SimProcess, StartingTheRunnerInAnEmulatedRunFailsAtOnceAndNamesTheSkip)
{
  EnvScope emulated("ORVANE_EMULATED", "1");
  EnvScope no_emulator("ORVANE_EMULATOR", nullptr);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_NONFATAL_FAILURE(
      {
        SimProcess sim;
        EXPECT_EQ(sim.port(20s), -1);
        EXPECT_EQ(sim.wait_exit(20s), std::nullopt);
      },
      "ORVANE_SKIP_IF_EMULATED()");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);  // no wait for a port that never comes
}

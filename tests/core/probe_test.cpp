#include <gtest/gtest.h>

#include "daemon/daemon.h"
#include "core/image.h"
#include "core/map.h"
#include "core/platform.h"
#include "core/tick.h"

namespace {

// What each probe saw when it was called: the counters the tick and the pass are about to move.
int32_t probe_ticks_seen = -1;
uint32_t probe_loops_seen = 0xFFFFFFFF;
int probe_calls = 0;

void tick_probe()
{
  probe_ticks_seen = sys_t0.load();
  probe_calls++;
}

void pass_probe()
{
  probe_loops_seen = mem_ru32(MAP_LOOP_COUNT);
  probe_calls++;
}

struct Probes : ::testing::Test {
  void SetUp() override
  {
    mem_init();
    sys_t1 = sys_t0.load();
    probe_calls = 0;
  }
  void TearDown() override
  {
    plat.tick_probe = nullptr;
    plat.pass_probe = nullptr;
  }
};

}  // namespace

TEST_F(Probes, TickProbeRunsBeforeTheTickIsCounted)
{
  plat.tick_probe = tick_probe;
  int32_t before = sys_t0.load();
  timer0_handler(timer0_signo(), nullptr, nullptr);
  EXPECT_EQ(probe_calls, 1);
  EXPECT_EQ(probe_ticks_seen, before);
  EXPECT_EQ(sys_t0.load(), before + 1);
}

TEST_F(Probes, PassProbeRunsOncePerPassBeforeItsWork)
{
  plat.pass_probe = pass_probe;
  EXPECT_EQ(ctl_step(), ctl::idle);
  EXPECT_EQ(probe_calls, 0);
  sys_t0.fetch_add(3);
  EXPECT_EQ(ctl_step(), ctl::pass);
  EXPECT_EQ(probe_calls, 1);
  EXPECT_EQ(probe_loops_seen, 0u);
  EXPECT_EQ(mem_ru32(MAP_LOOP_COUNT), 1u);
}

TEST_F(Probes, NoProbeLeavesTickAndPassAsTheyAre)
{
  int32_t before = sys_t0.load();
  timer0_handler(timer0_signo(), nullptr, nullptr);
  EXPECT_EQ(sys_t0.load(), before + 1);
  EXPECT_EQ(ctl_step(), ctl::pass);
  EXPECT_EQ(probe_calls, 0);
}

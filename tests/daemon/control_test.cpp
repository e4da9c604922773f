#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>

#include "daemon/daemon.h"
#include "core/image.h"
#include "core/map.h"
#include "core/tick.h"

namespace {

struct Control : ::testing::Test {
  void SetUp() override
  {
    mem_init();
    sys_t1 = sys_t0.load();
  }
};

}  // namespace

TEST_F(Control, ABatchOfTicksGivesOnePassAndOneInterpolationStep)
{
  mem_w16(MAP_IP_TARGET + 2 * 80, 100);
  mem_w8(MAP_TTIME, 4);
  EXPECT_EQ(ctl_step(), ctl::idle);
  sys_t0.fetch_add(5);
  EXPECT_EQ(ctl_step(), ctl::pass);
  EXPECT_EQ(ctl_step(), ctl::idle);
  EXPECT_EQ(mem_ru32(MAP_LOOP_COUNT), 1u);
  EXPECT_EQ(mem_r16(MAP_IP_OUT + 2 * 80), 25);
  EXPECT_EQ(sys_t1, sys_t0.load());
  sys_t0.fetch_add(1);
  EXPECT_EQ(ctl_step(), ctl::pass);
  EXPECT_EQ(mem_ru32(MAP_LOOP_COUNT), 2u);
}

TEST_F(Control, LoopCountWrapsAtTwoToThe32)
{
  mem_w32(MAP_LOOP_COUNT, 0xFFFFFFFF);
  sys_t0.fetch_add(1);
  EXPECT_EQ(ctl_step(), ctl::pass);
  EXPECT_EQ(mem_ru32(MAP_LOOP_COUNT), 0u);
}

TEST_F(Control, ExitRequestEndsAfterThePassHasCountedItself)
{
  mem_w8(MAP_EXIT_REQ, 1);
  mem_w8(MAP_POWEROFF_REQ, 1);  // exit wins over power-off
  EXPECT_EQ(ctl_step(), ctl::idle);
  sys_t0.fetch_add(1);
  EXPECT_EQ(ctl_step(), ctl::end);
  EXPECT_EQ(ctl_status, 0);
  EXPECT_EQ(mem_ru32(MAP_LOOP_COUNT), 1u);
}

// A supervisor must never take a failed power-off for a clean stop.
TEST(PowerOffStatus, OnlyACommandThatSucceededGivesZero)
{
  const struct {
    int wait_status, status;
  } rows[] = {
      {W_EXITCODE(0, 0), 0},     {W_EXITCODE(1, 0), 1},       {W_EXITCODE(255, 0), 255},
      {W_EXITCODE(127, 0), 127},  // the shell found no command, or could not start it
      {SIGKILL, 9},              {SIGSEGV | 0x80, 0x8b},      // killed: the low byte, as before
      {-1, 127},                 // no shell could be started
  };
  for (const auto& r : rows)
    EXPECT_EQ(ctl_poweroff_status(r.wait_status), r.status) << std::hex << r.wait_status;
}

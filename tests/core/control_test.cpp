#include <gtest/gtest.h>

#include "core/daemon.h"
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

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "board/swr.h"
#include "core/image.h"
#include "core/map.h"
#include "core/platform.h"
#include "sim/gpio_block.h"
#include "sim/sim.h"
#include "support/emulation.h"

namespace {

// The daemon's switch inputs on a fresh virtual GPIO block, mapped at the robot's GPIO base.
struct SwitchInputs : ::testing::Test {
  gpio_block blk;
  const char* saved_path = plat.mem_path;

  void SetUp() override
  {
    ASSERT_TRUE(sim_dir_make());
    ASSERT_TRUE(blk.init(sim_path("mem"), plat.gpio_base));
    plat.mem_path = blk.path().c_str();
    mem_init();
    swr_init();
  }
  void TearDown() override
  {
    if (gpio)
      munmap(const_cast<uint32_t*>(gpio), GPIO_MAP_SIZE);
    gpio = nullptr;
    plat.mem_path = saved_path;
    sim_cleanup();
  }
  static int16_t word(int n) { return mem_r16(MAP_SW_IN + 2u * n); }
};

}  // namespace

TEST_F(SwitchInputs, SetUpClearsExactlyTheFiveFunctionFields)
{
  // Every switch pin starts in a non-input function, so each field has something to clear.
  for (int pin : swr_gpio)
    ASSERT_NE((pin < 10 ? GPIO_FSEL0_PRESET : GPIO_FSEL2_PRESET) >> (pin % 10 * 3) & 7u, 0u);
  EXPECT_EQ(blk.reg(GPIO_FSEL0), GPIO_FSEL0_PRESET & ~(7u << 12));
  EXPECT_EQ(blk.reg(GPIO_FSEL2), GPIO_FSEL2_PRESET & ~(0xfffu << 6));
  EXPECT_EQ(blk.reg(1), 0u);  // GPFSEL1 is not touched
}

TEST_F(SwitchInputs, EachClosedSwitchShowsOneInItsOwnWordOnly)
{
  for (int n = 0; n < SWR_COUNT; n++)
    EXPECT_EQ(word(n), 0) << "before the first pass " << n;
  for (int closed = 0; closed < SWR_COUNT; closed++) {
    blk.set_switch(closed, true);
    swr_proc();
    for (int n = 0; n < SWR_COUNT; n++)
      EXPECT_EQ(mem_ru16(MAP_SW_IN + 2u * n), n == closed ? 1 : 0) << "closed " << closed;
    blk.set_switch(closed, false);
  }
  swr_proc();
  for (int n = 0; n < SWR_COUNT; n++)
    EXPECT_EQ(word(n), 0) << n;
}

TEST_F(SwitchInputs, OnlyTheFivePinsCountAndOnlyZeroOrOneIsWritten)
{
  // Every other pin high, then every other pin low: the words follow the switches alone.
  mem_w16(MAP_SW_IN - 2, 0xbeef);
  mem_w16(MAP_SW_IN + 2 * SWR_COUNT, 0xcafe);
  for (bool others : {true, false}) {
    for (int pin = 0; pin < 32; pin++)
      blk.set_level(pin, others);
    blk.set_switch(0, true);
    blk.set_switch(4, true);
    for (int n = 1; n < 4; n++)
      blk.set_switch(n, false);
    swr_proc();
    std::vector<uint16_t> got;
    got.reserve(SWR_COUNT);
    for (int n = 0; n < SWR_COUNT; n++)
      got.push_back(mem_ru16(MAP_SW_IN + 2u * n));
    EXPECT_EQ(got, (std::vector<uint16_t>{1, 0, 0, 0, 1})) << "other pins high: " << others;
  }
  EXPECT_EQ(mem_ru16(MAP_SW_IN - 2), 0xbeef);
  EXPECT_EQ(mem_ru16(MAP_SW_IN + 2 * SWR_COUNT), 0xcafe);
}

TEST_F(SwitchInputs, AHostWriteIsReplacedAtTheNextPass)
{
  blk.set_switch(1, true);
  for (int n = 0; n < SWR_COUNT; n++)
    mem_w16(MAP_SW_IN + 2u * n, 0x1234);
  swr_proc();
  for (int n = 0; n < SWR_COUNT; n++)
    EXPECT_EQ(word(n), n == 1 ? 1 : 0) << n;
}

// The set-up failures print on standard output; the child sends it to standard error, where the
// death test looks. The child is a fresh run of this program, unless the run is emulated: the
// host does not hand the emulator a foreign program to run, so there the child is a fork.
static void death_style()
{
  GTEST_FLAG_SET(death_test_style, emulated() ? "fast" : "threadsafe");
}

TEST(SwitchInputsSetUp, UnopenableDeviceEndsWithStatus255AndItsMessage)
{
  death_style();
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);
        plat.mem_path = "/nonexistent-orvane/mem";
        gpio_init();
      },
      ::testing::ExitedWithCode(255), "^error: cannot open /dev/mem\n$");
}

TEST(SwitchInputsSetUp, UnmappableDeviceEndsWithStatus255AndItsMessage)
{
  death_style();
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);
        plat.mem_path = "/dev/null";  // opens for reading and writing, but cannot be mapped
        gpio_init();
      },
      ::testing::ExitedWithCode(255), "^error: cannot map /dev/mem\n$");
}

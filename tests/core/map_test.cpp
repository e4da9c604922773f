#include <gtest/gtest.h>

#include <cstring>

#include "core/image.h"
#include "core/interp.h"
#include "core/map.h"

static std::vector<uint8_t> bytes(uint32_t off, uint32_t n)
{
  std::vector<uint8_t> v;
  for (uint32_t i = 0; i < n; i++)
    v.push_back(mem_r8(off + i));
  return v;
}

TEST(MemoryMap, InitialImageHoldsNamePeriodListsAndSwitches)
{
  for (uint32_t i = 0; i < MAP_SIZE; i++)
    mem_w8(i, 0xEE);  // whatever a previous run left
  ipbuf[5] = {1234, 99, 7};
  mem_init();

  const uint8_t name[] = {'Z', 'I', 'D', 'I', 'D', 'O', 'V', 'E', 0};
  EXPECT_EQ(bytes(0x20, 9), std::vector<uint8_t>(name, name + 9));
  EXPECT_EQ(bytes(0x40, 4), (std::vector<uint8_t>{0x1b, 0x41, 0x00, 0x00}));
  EXPECT_EQ(bytes(0x10, 2), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(bytes(0xA0, 8), (std::vector<uint8_t>{1, 6, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(bytes(0xC0, 4), (std::vector<uint8_t>{1, 1, 1, 0}));
  EXPECT_EQ(mem_r16(MAP_SV_TORQUE_ON), 1);
  EXPECT_EQ(mem_r16(MAP_SV_COMM_ON), 1);
  EXPECT_EQ(mem_r16(MAP_LED_ON), 1);
  for (uint32_t i = 0; i < MAP_CHANNELS; i++) {
    ASSERT_EQ(mem_r8(MAP_IP_ENABLE + i), 1) << i;
    ASSERT_EQ(ipbuf[i].cpos, 0);
    ASSERT_EQ(ipbuf[i].spd, 0);
  }

  // Every byte the image does not name is zero.
  size_t nonzero = 0;
  for (uint32_t i = 0; i < MAP_SIZE; i++)
    nonzero += mem_r8(i) != 0;
  EXPECT_EQ(nonzero, 1u + 8 + 2 + 8 + 3 + 3 + MAP_CHANNELS);
}

TEST(MemoryMap, WordsAreLittleEndianAndSignedWhereSigned)
{
  mem_init();
  mem_w16(MAP_IP_OUT, 0xFFFF);
  EXPECT_EQ(mem_r16(MAP_IP_OUT), -1);
  EXPECT_EQ(mem_r8(MAP_IP_OUT), 0xFF);
  mem_w32(MAP_LOOP_COUNT, 0x11223344);
  EXPECT_EQ(bytes(MAP_LOOP_COUNT, 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(map_sv_pos(1), 0x0D80u);
  EXPECT_EQ(map_sv_pos(32), 0x0DBEu);
  EXPECT_EQ(map_sv_torque(32), 0x0C80u);  // the first LED channel of board A
  EXPECT_LT(map_sv_pos(255) + 1, MAP_SIZE);
}

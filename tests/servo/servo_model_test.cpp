// The virtual chain's servo model driven directly, with the times of its choice.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/servo_model.h"

namespace {

constexpr int64_t MS = 1000000;

// A write of `data` into one servo's registers from `addr`: FA AF id 00 addr len 01 data, sum.
void write_reg(servo_model& m, uint8_t id, uint8_t addr, std::vector<uint8_t> data, int64_t t)
{
  std::vector<uint8_t> p = {0xFA, 0xAF, id, 0x00, addr, static_cast<uint8_t>(data.size()), 0x01};
  p.insert(p.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (size_t i = 2; i < p.size(); i++)
    sum ^= p[i];
  p.push_back(sum);
  sv_reply r;
  for (uint8_t b : p)
    m.hear(b, t, &r);
}

int16_t pos_at(servo_model& m, int64_t t)
{
  sv_state s{};
  EXPECT_TRUE(m.state(1, t, &s));
  return s.pos;
}

}  // namespace

// The line stamps bytes with their wire time, ahead of the clock the console and tests read:
// a servo resting at its goal must stay there when asked about an earlier moment.
TEST(ServoModel, TimeThatRunsBackwardsNeverMovesAServoPastItsGoal)
{
  for (int16_t goal : {int16_t{300}, int16_t{-300}}) {
    servo_model m({1}, 0);
    write_reg(m, 1, VS_TORQUE_ENABLE, {1}, 0);
    write_reg(m, 1, VS_GOAL_POSITION,
              {static_cast<uint8_t>(goal), static_cast<uint8_t>(static_cast<uint16_t>(goal) >> 8)},
              0);
    ASSERT_EQ(pos_at(m, 500 * MS), goal);
    // A byte heard at a later wire time, then questions about earlier moments.
    write_reg(m, 1, VS_TORQUE_LIMIT, {100}, 600 * MS);
    for (int64_t t : {590 * MS, 400 * MS, 599 * MS, 0 * MS, 700 * MS})
      EXPECT_EQ(pos_at(m, t), goal) << "goal " << goal << ", asked at " << t / MS << " ms";
  }
}

// Moving time stays whole: a move asked about out of order ends where an ordered one would.
TEST(ServoModel, AMoveAskedAboutOutOfOrderStillStopsAtItsGoal)
{
  servo_model m({1}, 0);
  write_reg(m, 1, VS_TORQUE_ENABLE, {1}, 0);
  write_reg(m, 1, VS_GOAL_POSITION, {0xE8, 0x03}, 0);  // 1000: 0.27 s at full speed
  int16_t mid = pos_at(m, 100 * MS);
  EXPECT_GT(mid, 0);
  EXPECT_LT(mid, 1000);
  EXPECT_EQ(pos_at(m, 50 * MS), mid);  // earlier: no step back, no step forward
  EXPECT_EQ(pos_at(m, 2000 * MS), 1000);
  EXPECT_EQ(pos_at(m, 1000 * MS), 1000);
}

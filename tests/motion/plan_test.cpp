// Planning: keyframe durations in ticks, long keyframes split along their straight line,
// speed and repeat.
#include <gtest/gtest.h>

#include <cmath>

#include "host/motion/plan.h"
#include "orvane.h"

using namespace orvane::motion;

namespace {

motion raw(const std::string& text) { return motion_parse(text, "m.yaml", profile_none()); }

mo_outputs zeros() { return mo_outputs{}; }

}  // namespace

TEST(MotionPlan, DurationsBecomeTicksFromThePeriodAndSpeed)
{
  struct Case {
    const char* duration;
    int32_t tick_us;
    double speed;
    unsigned ticks;
  } cases[] = {
      {"ms: 1000", 16667, 1, 60},  {"ms: 1000", 16667, 2, 30}, {"ticks: 90", 16667, 2, 45},
      {"ms: 1000", 10000, 1, 100}, {"ms: 5", 16667, 1, 1},     {"ticks: 3", 16667, 4, 1},
      {"ms: 500", 16667, 0.5, 60},
  };
  for (const Case& c : cases) {
    motion m = raw(std::string("keyframes:\n  - ") + c.duration + "\n    pose: {1: 10}\n");
    EXPECT_EQ(frame_ticks(m.frames[0], {c.tick_us, c.speed, 0}), c.ticks)
        << c.duration << " at " << c.tick_us << " us, speed " << c.speed;
  }
}

// 10 s at 60 Hz is 600 ticks: three moves of 200 whose ends lie on the line from start to goal.
TEST(MotionPlan, LongKeyframeIsSplitIntoMovesAlongItsStraightLine)
{
  motion m = raw("keyframes:\n  - ms: 10000\n    pose: {1: 60, 2: -30}\n  - ticks: 256\n    pose: {1: 0}\n");
  mo_outputs start = zeros();
  start[1] = 300;
  auto moves = plan(m, {}, start);
  ASSERT_EQ(moves.size(), 5u);
  EXPECT_EQ(plan_ticks(moves), 600u + 256u);
  unsigned t = 0;
  for (size_t i = 0; i < 3; i++) {
    t += moves[i].ticks;
    EXPECT_EQ(moves[i].ticks, 200u);
    EXPECT_EQ(moves[i].part, i + 1);
    EXPECT_EQ(moves[i].parts, 3u);
    ASSERT_EQ(moves[i].targets.size(), 2u);
    EXPECT_EQ(moves[i].targets[0].value, std::lround(300 + 300.0 * t / 600)) << i;
    EXPECT_EQ(moves[i].targets[1].value, std::lround(-300.0 * t / 600)) << i;
  }
  EXPECT_EQ(moves[2].targets, (std::vector<mo_target>{{1, 600}, {2, -300}}));
  EXPECT_EQ(moves[3].ticks + moves[4].ticks, 256u);
  EXPECT_EQ(moves[3].targets[0].value, 300);  // from 600, where the first keyframe ended
  EXPECT_EQ(moves[4].targets[0].value, 0);
  EXPECT_NE(move_line(m, moves[0]).find("keyframe 1 part 1/3 (line 2)  200 ticks  servo.1.goal=400 servo.2.goal=-100"),
            std::string::npos)
      << move_line(m, moves[0]);
}

TEST(MotionPlan, RepeatAndSpeedScaleThePlan)
{
  motion m = raw("repeat: 2\nkeyframes:\n  - ticks: 300\n    pose: {1: 30}\n  - ticks: 60\n    pose: {1: 0}\n");
  struct Case {
    plan_opts o;
    size_t moves;
    unsigned ticks;
  } cases[] = {
      {{16667, 1, 0}, 6, 720},  // the file's repeat: 2 x (150 + 150 + 60)
      {{16667, 2, 0}, 4, 360},  // twice as fast: 150 fits one move
      {{16667, 1, 3}, 9, 1080}, // --repeat 3 overrides the file
  };
  for (const Case& c : cases) {
    auto moves = plan(m, c.o, zeros());
    EXPECT_EQ(moves.size(), c.moves) << c.o.speed << " " << c.o.repeat;
    EXPECT_EQ(plan_ticks(moves), c.ticks) << c.o.speed << " " << c.o.repeat;
  }
  // The second round starts where the first ended, so its split points differ from the first's.
  auto moves = plan(m, {}, zeros());
  EXPECT_EQ(moves[0].targets[0].value, 150);
  EXPECT_EQ(moves[3].targets[0].value, 150);
  EXPECT_EQ(moves[3].rep, 1u);
  // A keyframe without a pose holds every channel the motion uses where it is.
  auto held = plan(raw("keyframes:\n  - ticks: 5\n    pose: {1: 3, 2: 4}\n  - ms: 500\n"), {}, zeros());
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[1].targets, (std::vector<mo_target>{{1, 30}, {2, 40}}));
  EXPECT_EQ(held[1].ticks, 30u);
  for (plan_opts bad : {plan_opts{0, 1, 0}, plan_opts{16667, 0, 0}})
    EXPECT_THROW(plan(m, bad, zeros()), mo_errors);
  // A tick period written as 1 us would make a ten-minute keyframe 2.4 million moves.
  EXPECT_THROW(plan(raw("keyframes:\n  - ms: 600000\n    pose: {1: 5}\n"), {1, 1, 0}, zeros()), mo_errors);
}

// The splitting that playback and the client's long moves share: equal parts, ends on the line.
TEST(MotionPlan, MoveSplitCutsAnyLengthIntoTriggersOnTheStraightLine)
{
  struct Case {
    int ticks;
    std::vector<int> ends;          // end_of(1..parts)
    std::vector<int16_t> targets;   // from -100 to 300
  } cases[] = {
      {1, {1}, {300}},
      {255, {255}, {300}},
      {256, {128, 256}, {100, 300}},
      {600, {200, 400, 600}, {33, 167, 300}},
      {765, {255, 510, 765}, {33, 167, 300}},
      {766, {191, 383, 574, 766}, {0, 100, 200, 300}},
  };
  for (const Case& c : cases) {
    orvane::move_split s{c.ticks};
    ASSERT_EQ(s.parts(), static_cast<int>(c.ends.size())) << c.ticks;
    for (int p = 1; p <= s.parts(); p++) {
      EXPECT_EQ(s.end_of(p), c.ends[p - 1]) << c.ticks << " part " << p;
      EXPECT_LE(s.end_of(p) - s.end_of(p - 1), 255);
      EXPECT_EQ(s.target(-100, 300, p), c.targets[p - 1]) << c.ticks << " part " << p;
    }
  }
  EXPECT_EQ(orvane::move_split{orvane::move_ticks_max}.parts(), 8421505);  // no overflow
}

// Playing motions on orvane-sim through the library: keyframes reached in the passes planned,
// long keyframes on their straight line, speed, and a stop that leaves the servos where they are.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "support/sim_host.h"
#include "host/motion/play.h"

using namespace orvane::motion;

namespace {

// A second host that samples ip_out of channels 1..3 about every 2 ms, far more often than
// passes come, so that every pass's outputs are seen.
struct Trace {
  explicit Trace(SimHost& h) : host(h.connect()), th([this] { run(); }) {}
  ~Trace() { stop(); }
  // Lets the last pass be sampled too, then ends.
  void stop()
  {
    std::this_thread::sleep_for(50ms);
    done = true;
    if (th.joinable())
      th.join();
  }
  void run()
  {
    uint32_t off = orvane::resolve("ip_out", 1).offset;
    while (!done) {
      auto b = host->read(off, 6);
      std::array<int16_t, 3> v{};
      for (size_t i = 0; i < 3; i++)
        v[i] = static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
      {
        std::lock_guard<std::mutex> g(mu);
        if (seen.empty() || seen.back() != v)
          seen.push_back(v);
      }
      std::this_thread::sleep_for(2ms);
    }
  }
  bool passed(std::array<int16_t, 3> v)
  {
    std::lock_guard<std::mutex> g(mu);
    return std::find(seen.begin(), seen.end(), v) != seen.end();
  }
  std::unique_ptr<orvane::client> host;
  std::atomic<bool> done{false};
  std::mutex mu;
  std::vector<std::array<int16_t, 3>> seen;
  std::thread th;
};

const char* three =
    "keyframes:\n"
    "  - ticks: 20\n    torque: on\n    pose: {1: 30, 2: -20, 3: 10}\n"
    "  - ms: 500\n    pose: {1: -15.5, 3: 40}\n"
    "  - ticks: 12\n    pose: {2: 25}\n";

class MotionPlay : public SimHostTest {};

}  // namespace

TEST_F(MotionPlay, EveryKeyframeIsReachedAndPassesMatchThePlannedTicks)
{
  motion m = motion_parse(three, "three.yaml", profile_none());
  struct Case {
    double speed;
    unsigned ticks;
  };
  for (Case c : {Case{1, 20 + 30 + 12}, Case{2, 10 + 15 + 6}}) {
    SCOPED_TRACE(c.speed);
    robot().move_channels({{1, 0}, {2, 0}, {3, 0}}, 1);
    robot().wait_until_still();
    play_result r = play(robot(), m, {c.speed, 0, nullptr, {}});
    EXPECT_EQ(r.moves, 3u);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.ticks, c.ticks);
    // The passes include at most a pass of waiting between keyframes and at the ends; a pass
    // that has stepped but not yet counted itself may be missing from them.
    EXPECT_GE(r.passes + 1, c.ticks);
    EXPECT_LE(r.passes, c.ticks + 3);
  }
  // Each keyframe's pose, as the daemon shows it once the move has no steps left: the player is
  // held in its callback until then (which costs passes, so this is a play of its own).
  robot().move_channels({{1, 0}, {2, 0}, {3, 0}}, 1);
  robot().wait_until_still();
  auto watch = host().connect();
  std::vector<std::array<int64_t, 3>> reached;
  play_opts o;
  o.on_move = [&](size_t, size_t, const mo_move& mv) {
    ASSERT_TRUE(wait_until([&] { return watch->get("ip_count", mv.targets.front().ch) == 0; }, SIM_HOST_TIMEOUT));
    reached.push_back({watch->get("ip_out", 1), watch->get("ip_out", 2), watch->get("ip_out", 3)});
  };
  play(robot(), m, o);
  EXPECT_EQ(reached, (std::vector<std::array<int64_t, 3>>{{300, -200, 100}, {-155, -200, 400}, {-155, 250, 400}}));
}

// 270 ticks are two moves; every pass between the ends must lie on the straight line.
TEST_F(MotionPlay, LongKeyframeKeepsToItsStraightLine)
{
  motion m = motion_parse("keyframes:\n  - ticks: 270\n    pose: {1: 60, 2: -30, 3: 12}\n",
                          "long.yaml", profile_none());
  Trace trace(host());
  play_result r = play(robot(), m, {});
  trace.stop();
  EXPECT_EQ(r.moves, 2u);
  EXPECT_LE(r.passes, 273u);
  ASSERT_GE(trace.seen.size(), 100u);  // most passes seen, even on a busy machine
  for (auto v : trace.seen) {
    // On the line from 0 to (600, -300, 120): channel 2 is -v1/2 and channel 3 is v1/5, each
    // within the rounding of the intermediate targets and the fixed-point steps.
    EXPECT_NEAR(v[1], -v[0] / 2.0, 1.5) << v[0] << " " << v[1];
    EXPECT_NEAR(v[2], v[0] / 5.0, 1.5) << v[0] << " " << v[2];
  }
  EXPECT_TRUE(trace.passed({600, -300, 120}));
}

TEST_F(MotionPlay, StopLeavesTheOutputsWhereTheyAre)
{
  motion m = motion_parse("keyframes:\n  - ticks: 240\n    pose: {1: 100}\n", "slow.yaml", profile_none());
  std::atomic<bool> stop{false};
  std::thread later([&] {
    std::this_thread::sleep_for(1s);
    stop = true;
  });
  play_result r = play(robot(), m, {1, 0, &stop, {}});
  later.join();
  EXPECT_TRUE(r.stopped);
  EXPECT_LT(r.passes, 200u);
  int64_t held = robot().get("ip_out", 1);
  EXPECT_GT(held, 0);
  EXPECT_LT(held, 1000);
  EXPECT_EQ(robot().get("ip_target", 1), held);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(robot().get("ip_out", 1), held);
}

// A robot lost in the middle: the error says how far the motion got; the warnings before it
// come one per cause, not one per servo.
TEST_F(MotionPlay, LostRobotSaysHowFarPlayGotAndWarningsComeOncePerCause)
{
  motion m = motion_parse(three, "three.yaml", profile_none());
  auto w = play_warnings(robot(), motion_parse("keyframes:\n  - ticks: 5\n    pose: {1: 1, 2: 2, 7: 3, 8: 4}\n",
                                               "w.yaml", profile_none()));
  EXPECT_EQ(w, (std::vector<std::string>{
                   "servos 7, 8 are not in the write list: they get no goals",
                   "servos 1, 2, 7, 8 are without torque and the motion does not switch it on: they will not follow"}));
  auto other = host().connect();
  play_opts o;
  o.on_move = [&](size_t i, size_t, const mo_move&) {
    if (i == 1)
      other->request_exit();
  };
  try {
    play(robot(), m, o);
    ADD_FAILURE() << "no error";
  } catch (const orvane::error& e) {
    EXPECT_NE(std::string(e.what()).find("; play stopped after 2 of 3 moves, in keyframe 2"), std::string::npos)
        << e.what();
  }
}

// A smooth motion played as short moves: each channel's outputs go through the planned goals in
// order (none other), and every keyframe's pose is reached exactly. A host held up mid-motion
// starts its next move late and shortens it to end as planned: the motion keeps its passes, and
// the outputs of a shortened move lie between the planned goals on either side.
TEST_F(MotionPlay, EasedMotionGivesExactlyThePlannedGoals)
{
  motion m = motion_parse("ease: smooth\nkeyframes:\n"
                          "  - ticks: 30\n    pose: {1: 40, 2: -20, 3: 10}\n"
                          "  - ticks: 18\n    ease: spline\n    pose: {1: -15, 3: 35}\n"
                          "  - ticks: 24\n    ease: spline\n    pose: {1: -30, 2: 25}\n",
                          "eased.yaml", profile_none());
  for (auto held : {0ms, 300ms}) {
    SCOPED_TRACE("host held up " + std::to_string(held.count()) + " ms after move 3");
    robot().move_channels({{1, 0}, {2, 0}, {3, 0}}, 1);
    robot().wait_until_still();
    std::vector<mo_move> moves = play_plan(robot(), m, {});
    play_opts o;
    o.on_move = [&](size_t i, size_t, const mo_move&) {
      if (i == 3)
        std::this_thread::sleep_for(held);
    };
    Trace trace(host());
    play_result r = play(robot(), m, o);
    trace.stop();
    printf("held up %lld ms: %u passes, %zu moves started late, %zu left out\n", static_cast<long long>(held.count()),
           r.passes, r.late, r.skipped);
    EXPECT_EQ(r.ticks, 72u);
    EXPECT_LE(r.passes, 72u + 8) << r.late << " moves started late";  // held up, 18 passes more
    if (held > 0ms) {
      EXPECT_GE(r.late, 1u);
    }
    for (size_t ch = 0; ch < 3; ch++) {
      std::vector<int16_t> want = plan_outputs(moves, 0, static_cast<uint8_t>(ch + 1));
      want.insert(want.begin(), 0);
      auto on_plan = [&](size_t k, int v) {
        return want[k] == v || (r.late && k + 1 < want.size() && (v - want[k]) * (v - want[k + 1]) < 0);
      };
      size_t at = 0;
      for (const auto& v : trace.seen) {
        while (at < want.size() && !on_plan(at, v[ch]))
          at++;
        ASSERT_LT(at, want.size()) << "channel " << ch + 1 << ": " << v[ch] << " is not a planned goal, or out of order"
                                   << " (" << r.late << " moves started late)";
      }
    }
    for (auto pose : {std::array<int16_t, 3>{400, -200, 100}, std::array<int16_t, 3>{-300, 250, 350}})
      EXPECT_TRUE(trace.passed(pose)) << pose[0] << " " << pose[1] << " " << pose[2];
    EXPECT_TRUE(trace.passed({-150, -200, 350}) || trace.passed({-150, -199, 350}));
  }
}

// A motion is held to the robot model of the client that plays it, whatever profile it was read
// with, and waits for no one: a second player is seen before it starts.
TEST_F(MotionPlay, KeyframesBeyondTheModelsLimitsAndChannelsStillMovingAreFoundBeforeAnyMove)
{
  auto arm = std::make_shared<orvane::robot_model>();
  arm->file = "arm.yaml";
  arm->joints = {{"elbow", 3, 0, true, -10, 135}};
  robot().use_model(arm);
  struct row {
    const char* motion;  // read without a profile: servo ids, servo degrees
    size_t refusals;
  };
  const row rows[] = {
      {"keyframes:\n  - ticks: 5\n    pose: {3: -30, 1: 140}\n", 0},
      {"keyframes:\n  - ticks: 5\n    pose: {3: -30}\n  - ticks: 5\n    pose: {3: 20}\n", 1},  // elbow at -20
      {"keyframes:\n  - ticks: 5\n    torque: on\n    pose: {1: 10}\n", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.motion);
    EXPECT_EQ(play_refusals(robot(), motion_parse(r.motion, "m.yaml", profile_none())).size(), r.refusals);
  }
  motion beyond = motion_parse(rows[1].motion, "m.yaml", profile_none());
  EXPECT_THROW(play(robot(), beyond, {}), orvane::beyond_limits);
  EXPECT_EQ(robot().get("ip_out", 3), 0);  // not a tick of it was played

  auto other = host().connect();
  other->move({{1, 50}}, 120);
  motion m = motion_parse("keyframes:\n  - ticks: 5\n    pose: {1: 10, 2: 5}\n", "m.yaml", profile_none());
  EXPECT_EQ(play_moving(robot(), m), std::vector<int>{1});
  other->wait_until_still({1});
  EXPECT_TRUE(play_moving(robot(), m).empty());
}

// A tick period the daemon does not take (it keeps 60 Hz) is never planned with: 2 s are 120
// ticks, not 2.
TEST_F(MotionPlay, APeriodTheDaemonIgnoresIsNotPlannedWith)
{
  motion m = motion_parse("keyframes:\n  - ms: 2000\n    pose: {1: 10}\n", "m.yaml", profile_none());
  uint32_t at = orvane::find_field("tick_period")->offset;
  robot().write(at, {0x40, 0x42, 0x0F, 0x00});  // 1,000,000 us
  EXPECT_EQ(plan_ticks(play_plan(robot(), m, {})), 120u);
  robot().set("tick_period", 16667);
  EXPECT_THROW(plan_spans(m, {1000000, 1, 0}, mo_outputs{}), mo_errors);
}

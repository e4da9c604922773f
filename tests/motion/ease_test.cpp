// Eased keyframes: the planned moves land on every pose exactly, a smooth keyframe follows the
// minimum-jerk profile, a spline keeps its speed continuous without passing a pose; speed limits
// refuse and fit.
#include <gtest/gtest.h>

#include <cmath>

#include "host/motion/limits.h"
#include "host/motion/plan.h"

using namespace orvane::motion;

namespace {

motion raw(const std::string& text) { return motion_parse(text, "m.yaml", profile_none()); }

const char* uneven =  // durations of 7 to 300 ticks, turns, a pause and a torque ramp
    "keyframes:\n"
    "  - ticks: 40\n    torque: on\n    pose: {1: 30, 2: -20}\n"
    "  - ticks: 7\n    pose: {1: 33.3}\n"
    "  - ticks: 300\n    pose: {1: -90, 2: 45}\n"
    "  - ticks: 25\n"
    "  - ticks: 61\n    pose: {1: -10, 2: 44.9}\n";

motion eased(const char* text, const char* ease) { return raw(std::string("ease: ") + ease + "\n" + text); }

}  // namespace

TEST(MotionEase, EveryKeyframeEndsExactlyOnItsPose)
{
  for (const char* ease : {"linear", "smooth", "spline"})
    for (unsigned seg : {1u, 3u, 8u}) {
      SCOPED_TRACE(std::string(ease) + " seg " + std::to_string(seg));
      motion m = eased(uneven, ease);
      plan_opts o;
      o.seg = seg;
      std::vector<mo_span> spans = plan_spans(m, o, {});
      std::vector<mo_move> moves = plan(spans, seg);
      for (const mo_span& s : spans)
        for (const mo_path& p : s.paths) {
          std::vector<int16_t> out = plan_outputs(moves, 0, p.ch);
          ASSERT_EQ(out.size(), plan_ticks(moves));
          EXPECT_EQ(out[s.t0 + s.ticks - 1], p.to) << "keyframe " << s.frame + 1 << " channel " << int(p.ch);
        }
      for (const mo_move& mv : moves)
        EXPECT_LE(mv.ticks, std::string(ease) == "linear" ? 255u : seg);
    }
}

// x(s) = a + (b - a)(10s^3 - 15s^4 + 6s^5): the goals at every tick lie within the chord of one
// move (its sag, h^2/8 times the largest acceleration) and a unit of rounding.
TEST(MotionEase, SmoothKeyframeFollowsTheMinimumJerkProfile)
{
  motion m = raw("ease: smooth\nkeyframes:\n  - ticks: 60\n    pose: {1: 60}\n  - ticks: 18\n    pose: {1: -10}\n");
  for (unsigned seg : {1u, 3u, 6u}) {
    plan_opts o;
    o.seg = seg;
    std::vector<mo_span> spans = plan_spans(m, o, {});
    std::vector<int16_t> out = plan_outputs(plan(spans, seg), 0, 1);
    for (const mo_span& s : spans) {
      const mo_path& p = s.paths[0];
      double d = p.to - p.from, sag = seg * seg / 8.0 * 5.78 * std::fabs(d) / (s.ticks * s.ticks);
      for (unsigned t = 1; t <= s.ticks; t++) {
        double u = double(t) / s.ticks, want = p.from + d * (10 * u * u * u - 15 * u * u * u * u + 6 * std::pow(u, 5));
        EXPECT_NEAR(out[s.t0 + t - 1], want, sag + 1.0) << "seg " << seg << " tick " << s.t0 + t;
      }
      for (double t : {0.0, double(s.ticks)}) {  // at rest at both ends
        EXPECT_NEAR(path_speed(p, s.ticks, t), 0, 1e-9);
        EXPECT_NEAR(path_accel(p, s.ticks, t), 0, 1e-9);
      }
    }
  }
}

TEST(MotionEase, SplineSpeedIsContinuousAtKeyframesAndNeverPassesAPose)
{
  std::vector<mo_span> spans = plan_spans(eased(uneven, "spline"), {}, {});
  for (size_t i = 0; i < spans.size(); i++)
    for (const mo_path& p : spans[i].paths) {
      if (p.ch > 32)
        continue;
      for (unsigned t = 0; t <= spans[i].ticks; t++) {
        double v = path_at(p, spans[i].ticks, t);
        EXPECT_GE(v, std::min(p.from, p.to) - 1e-9);
        EXPECT_LE(v, std::max(p.from, p.to) + 1e-9);
      }
      if (i + 1 == spans.size())
        continue;
      const mo_span& n = spans[i + 1];
      for (const mo_path& q : n.paths) {
        if (q.ch == p.ch) {
          EXPECT_NEAR(path_speed(p, spans[i].ticks, spans[i].ticks), path_speed(q, n.ticks, 0), 1e-9)
              << "keyframe " << i + 1 << " channel " << int(p.ch);
        }
      }
    }
  // Channel 1 passes keyframe 1 on its way up (0, 30, 33.3): it does not stop there.
  EXPECT_GT(spans[0].paths[0].v1, 0);
  // A linear keyframe inside a spline meets it at rest.
  motion m = raw("ease: spline\nkeyframes:\n  - ticks: 20\n    pose: {1: 10}\n"
                 "  - ticks: 20\n    ease: linear\n    pose: {1: 20}\n  - ticks: 20\n    pose: {1: 30}\n");
  spans = plan_spans(m, {}, {});
  EXPECT_EQ(spans[0].paths[0].v1, 0);
  EXPECT_EQ(spans[2].paths[0].v0, 0);
}

TEST(MotionLimits, TooFastKeyframesAreListedAndFittingStretchesOnlyThem)
{
  profile p = profile_parse("joints:\n  a: {id: 1, speed: 90, accel: 600}\n  b: {id: 2}\n", "robot.yaml");
  motion m = motion_parse("keyframes:\n"
                          "  - ms: 500\n    pose: {a: 60, b: 100}\n"           // 2: 120 degrees a second
                          "  - ms: 1000\n    pose: {a: 30}\n"                  // 4: 30, within
                          "  - ms: 300\n    ease: smooth\n    pose: {a: 75}\n",  // 6: 281 and 2886
                          "m.yaml", p);
  std::string said;
  try {
    limit_check(m, p, {}, {});
  } catch (const mo_errors& e) {
    said = e.what();
  }
  for (const char* want : {"m.yaml:2: keyframes[1].pose.a: 120 degrees a second is above the joint's top speed 90",
                           "m.yaml:6: keyframes[3].pose.a: 281 degrees a second is above",
                           "m.yaml:6: keyframes[3].pose.a: 2887 degrees a second squared is above the joint's top "
                           "acceleration 600"})
    EXPECT_NE(said.find(want), std::string::npos) << want << "\nnot in:\n" << said;
  EXPECT_EQ(said.find("keyframes[2]"), std::string::npos) << said;
  std::vector<std::string> fit = limit_fit(m, p, {}, {});
  ASSERT_EQ(fit.size(), 2u);
  EXPECT_NE(fit[0].find("m.yaml:2: keyframes[1] stretched from 500 to "), std::string::npos) << fit[0];
  EXPECT_TRUE(limit_faults(m, p, {}, {}).empty());
  EXPECT_EQ(m.frames[1].amount, 1000);
  EXPECT_GE(m.frames[0].amount, 667);
  EXPECT_LE(m.frames[0].amount, 680);
}

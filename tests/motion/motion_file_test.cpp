// Profiles and motion files as users write them: what is read, and every error with its file,
// line and field.
#include <gtest/gtest.h>

#include "host/motion/motion_file.h"

using namespace orvane::motion;

namespace {

const char* arm_yaml =
    "robot: test arm\n"
    "joints:\n"
    "  shoulder: {id: 1}\n"
    "  elbow: {id: 2, trim: -5, reverse: true, min: -90, max: 60}\n"
    "  wrist:\n"
    "    id: 3\n"
    "    trim: 2.5\n";

profile arm() { return profile_parse(arm_yaml, "robot.yaml"); }

// The error list of a text that must be refused, joined with line ends.
template <class F>
std::string refusal(F read)
{
  try {
    read();
  } catch (const mo_errors& e) {
    return e.what();
  }
  return "(accepted)";
}

}  // namespace

TEST(MotionProfile, JointsMapToServosThroughTrimAndDirection)
{
  profile p = arm();
  ASSERT_EQ(p.joints.size(), 3u);
  struct Case {
    const char* joint;
    double deg;
    int16_t units;  // the goal sent, 0.1 degree
  } cases[] = {
      {"shoulder", 30, 300}, {"shoulder", -12.34, -123}, {"elbow", 10, -150},
      {"elbow", -90, 850},   {"wrist", 0, 25},           {"wrist", -20, -175},
  };
  for (const Case& c : cases) {
    const joint* j = p.find(c.joint);
    ASSERT_NE(j, nullptr) << c.joint;
    EXPECT_EQ(joint_units(*j, c.deg), c.units) << c.joint << " " << c.deg;
    EXPECT_NEAR(joint_deg(*j, c.units), c.deg, 0.05) << c.joint << " " << c.units;
  }
  EXPECT_EQ(p.find("elbow")->id, 2);
  EXPECT_EQ(p.robot, "test arm");
  EXPECT_EQ(p.urdf, "");
  EXPECT_EQ(profile_none().find("32")->id, 32);
  EXPECT_EQ(profile_none().find("33"), nullptr);
}

// The description a profile names is found beside the profile, wherever the tool runs.
TEST(MotionProfile, UrdfIsFoundBesideTheProfile)
{
  struct Case {
    const char* profile_file;
    const char* urdf;
    const char* path;
  } cases[] = {
      {"robot.yaml", "arm.urdf", "arm.urdf"},
      {"motions/robot.yaml", "arm.urdf", "motions/arm.urdf"},
      {"/srv/bot/robot.yaml", "urdf/arm.urdf", "/srv/bot/urdf/arm.urdf"},
      {"motions/robot.yaml", "/usr/share/arm.urdf", "/usr/share/arm.urdf"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(profile_parse(std::string("urdf: ") + c.urdf + "\njoints: {a: {id: 1}}\n", c.profile_file).urdf,
              c.path);
}

TEST(MotionProfile, EveryFaultIsNamedWithItsLineAndField)
{
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"joints: {a: {id: 1}, b: {id: 1}}\n", "robot.yaml:1: joints.b.id: servo 1 is joint a already"},
      {"joints:\n  a: {id: 40}\n", "robot.yaml:2: joints.a.id: servo ids are 1 to 32"},
      {"joints:\n  a: {trim: 3}\n", "robot.yaml:2: joints.a.id: missing"},
      {"joints:\n  a: {id: 1, min: 10, max: 5}\n", "robot.yaml:2: joints.a: min 10 is not below max 5"},
      {"joints:\n  a: {id: 1, max: 170}\n", "robot.yaml:2: joints.a.max: outside -150..150 degrees"},
      {"joints:\n  a: {id: 1, reverse: maybe}\n", "robot.yaml:2: joints.a.reverse: needs true or false"},
      {"joints:\n  a: {id: 1, trmi: 2}\n", "robot.yaml:2: joints.a.trmi: unknown field"},
      {"joints:\n  a: {id: one}\n", "robot.yaml:2: joints.a.id: needs a number"},
      {"joints: [1, 2]\n", "robot.yaml:1: joints: needs a map"},
      {"joints:\n  a: {id: 1\n", "robot.yaml:3: not valid YAML"},
      {"joints:\n  a: {id: 1, speed: -5}\n", "robot.yaml:2: joints.a.speed: outside 0..10000"},
      {"joints:\n  a: {id: 1, accel: fast}\n", "robot.yaml:2: joints.a.accel: needs a number"},
      {"urdf: [a.urdf]\njoints:\n  a: {id: 1}\n", "robot.yaml:1: urdf: needs a text value"},
  };
  for (const Case& c : cases)
    EXPECT_NE(refusal([&] { profile_parse(c.text, "robot.yaml"); }).find(c.error), std::string::npos)
        << c.text << "gave: " << refusal([&] { profile_parse(c.text, "robot.yaml"); });
  EXPECT_EQ(refusal([] { profile_load("/nonexistent-orvane/robot.yaml"); }),
            "/nonexistent-orvane/robot.yaml: cannot read the file: No such file or directory");
}

TEST(MotionFile, KeyframesResolveToGoalAndTorqueChannels)
{
  motion m = motion_parse(
      "description: test\n"
      "repeat: 3\n"
      "keyframes:\n"
      "  - ms: 500\n"
      "    torque: on\n"
      "    pose: {shoulder: 30, elbow: 10}\n"
      "  - ticks: 20\n"
      "    torque: {wrist: 40}\n"
      "    pose: {wrist: -20}\n"
      "  - ms: 250\n",
      "wave.yaml", arm());
  EXPECT_EQ(m.repeat, 3u);
  ASSERT_EQ(m.frames.size(), 3u);
  EXPECT_EQ(m.frames[0].line, 4);
  // "on" covers every joint the motion names, the wrist too.
  EXPECT_EQ(m.frames[0].targets, (std::vector<mo_target>{{1, 300}, {2, -150}, {33, 100}, {34, 100}, {35, 100}}));
  EXPECT_TRUE(m.frames[1].in_ticks);
  EXPECT_EQ(m.frames[1].targets, (std::vector<mo_target>{{3, -175}, {35, 40}}));
  EXPECT_TRUE(m.frames[2].targets.empty());  // a pause

  motion again = motion_parse(motion_text(m), "again.yaml", arm());  // as teach writes it
  ASSERT_EQ(again.frames.size(), m.frames.size());
  for (size_t i = 0; i < m.frames.size(); i++)
    EXPECT_EQ(again.frames[i].targets, m.frames[i].targets) << motion_text(m);
  EXPECT_EQ(again.repeat, 3u);
}

// One list with every fault of the file, so a user mends them all in one go.
TEST(MotionFile, EveryFaultOfAFileIsListedWithItsLineAndField)
{
  std::string text =
      "keyframes:\n"
      "  - ms: 0\n"                                   // 2
      "    pose: {shoulder: 30}\n"
      "  - ticks: 10\n"                               // 4
      "    pose: {elbow: 80, knee: 5, wrist: 149}\n"  // 5
      "  - ms: 100\n"                                 // 6
      "    ticks: 6\n"
      "  - pose: {shoulder: 151}\n"                   // 8
      "  - ticks: 2.5\n"                              // 9
      "    torque: strong\n"                          // 10
      "    speed: 2\n"                                // 11
      "  - ms: 10\n"                                  // 12
      "    ease: quick\n";                            // 13
  std::string e = refusal([&] { motion_parse(text, "bad.yaml", arm()); });
  size_t at = 0;
  for (const char* want : {
           "bad.yaml:2: keyframes[1].ms: a keyframe needs a duration above zero",
           "bad.yaml:5: keyframes[2].pose.elbow: 80 degrees is outside the joint's limits -90..60",
           "bad.yaml:5: keyframes[2].pose.knee: no such joint in robot.yaml",
           "bad.yaml:5: keyframes[2].pose.wrist: 149 degrees puts servo 3 at 151.5, beyond its range",
           "bad.yaml:6: keyframes[3]: give ms or ticks, not both",
           "bad.yaml:8: keyframes[4]: needs a duration",
           "bad.yaml:8: keyframes[4].pose.shoulder: 151 degrees is outside",
           "bad.yaml:9: keyframes[5].ticks: needs a whole number of ticks",
           "bad.yaml:10: keyframes[5].torque: needs on, off or a maximum torque from 0 to 100",
           "bad.yaml:11: keyframes[5].speed: unknown field",
           "bad.yaml:13: keyframes[6].ease: needs linear, smooth or spline",
       }) {
    size_t f = e.find(want, at);  // in this order: a reader reads the list top to bottom
    EXPECT_NE(f, std::string::npos) << want << "\nnot in, or not after the one before:\n" << e;
    at = f == std::string::npos ? at : f;
  }
  EXPECT_EQ(refusal([] { motion_parse("keyframes:\n  - ms: 10\n    pose: {7: 5}\n", "m.yaml", profile_none()); }),
            "(accepted)");
  EXPECT_NE(refusal([] { motion_parse("keyframes: []\n", "m.yaml", profile_none()); })
                .find("m.yaml:1: keyframes: needs a list of at least one keyframe"),
            std::string::npos);
  EXPECT_NE(refusal([] { motion_parse("keyframes:\n  - ms: 10\n    pose: {40: 5}\n", "m.yaml", profile_none()); })
                .find("m.yaml:3: keyframes[1].pose.40: not a servo id"),
            std::string::npos);
  // Without a profile, joint names are one mistake however often they appear: said once.
  EXPECT_EQ(refusal([] {
              motion_parse("keyframes:\n  - ms: 10\n    pose: {arm: 5, hand: 1}\n  - ms: 10\n    pose: {arm: 0}\n",
                           "m.yaml", profile_none());
            }),
            "m.yaml:3: keyframes[1].pose.arm: not a servo id (1 to 32; give a profile to use joint names); "
            "2 more places name joints without one: hand");
}

// The file's ease holds for every keyframe that does not name its own, and survives being written.
TEST(MotionFile, EaseComesFromTheFileOrTheKeyframeAndIsWrittenBack)
{
  motion m = motion_parse("ease: spline\nkeyframes:\n  - ms: 10\n    pose: {1: 5}\n"
                          "  - ms: 10\n    ease: linear\n    pose: {1: 6}\n",
                          "m.yaml", profile_none());
  ASSERT_EQ(m.frames.size(), 2u);
  EXPECT_EQ(m.ease, mo_ease::spline);
  EXPECT_EQ(m.frames[0].ease, mo_ease::spline);
  EXPECT_EQ(m.frames[1].ease, mo_ease::linear);
  motion back = motion_parse(motion_text(m), "m.yaml", profile_none());
  EXPECT_EQ(back.frames[0].ease, mo_ease::spline);
  EXPECT_EQ(back.frames[1].ease, mo_ease::linear);
  EXPECT_NE(refusal([] { motion_parse("ease: 3\nkeyframes:\n  - ms: 1\n", "m.yaml", profile_none()); })
                .find("m.yaml:1: ease: needs linear, smooth or spline"),
            std::string::npos);
}

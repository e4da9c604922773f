// orvane-ctl profile as a builder runs it: the profile shown and checked against its URDF, and a
// starting URDF that urdfdom's checker takes. No robot is needed, and none is started.
#include <gtest/gtest.h>

#include "check_urdf.h"
#include "host/urdf/description.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace ur = orvane::urdf;

namespace {

struct ran {
  int status;
  std::string out, err;
};

ran ctl(const std::vector<std::string>& args)
{
  SimProcess p(args, CTL_PATH);
  auto st = p.wait_exit(std::chrono::seconds(30));
  p.wait_output_closed(std::chrono::seconds(30));
  return {st.value_or(-1), p.out(), p.err()};
}

const std::string robot_yaml = std::string(ORVANE_SOURCE_DIR) + "/motions/robot.yaml";

}  // namespace

TEST(ProfileVerb, ShowsTheProfileAndChecksItsUrdf)
{
  TempDir dir;
  std::string lacking = dir.file("lacking.urdf",
      "<robot name=\"r\"><link name=\"a\"/><link name=\"b\"/><joint name=\"base\" type=\"fixed\">"
      "<parent link=\"a\"/><child link=\"b\"/></joint></robot>\n");
  std::string mismatched = dir.file("mismatched.yaml", "urdf: lacking.urdf\njoints:\n  base: {id: 1}\n  lift: {id: 2}\n");
  std::string broken = dir.file("broken.yaml", "urdf: broken.urdf\njoints:\n  base: {id: 1}\n");
  dir.file("broken.urdf", "<robot name=\"r\"><link name=\"a\"/><link name=\"b\"/></robot>\n");
  std::string plain = dir.file("plain.yaml", "joints:\n  base: {id: 1, min: -30, max: 45, speed: 90}\n");
  struct row {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  };
  const row rows[] = {
      {{"profile", "-p", robot_yaml}, 0, "elbow          3     -10     135       0       -       -  reverse", ""},
      {{"--profile", robot_yaml, "profile"}, 0, "description: " , ""},
      {{"profile", "-p", plain}, 0, "base           1     -30      45       0      90       -\n"
                                    "description: none named", ""},
      {{"profile", "-p", mismatched}, 1, "lacking.urdf, robot r, 2 links, 1 joints",
       "joint base is not a joint of its own"},
      {{"profile", "-p", mismatched}, 1, "", "joint lift of the profile is not in the description"},
      {{"profile", "-p", broken}, 1, "", "broken.urdf: Failed to find root link: Two root links found"},
      {{"profile"}, 2, "", "profile needs a profile"},
      {{"profile", "-p", dir.file("none.yaml")}, 1, "", "none.yaml: cannot read the file"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.args));
    ran got = ctl(r.args);
    EXPECT_EQ(got.status, r.status) << got.err;
    EXPECT_NE(got.out.find(r.out), std::string::npos) << got.out;
    EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
  }
}

TEST(ProfileVerb, UrdfWritesAStarterThatCheckUrdfTakesWithTheProfilesJoints)
{
  TempDir dir;
  ran got = ctl({"profile", "--urdf", "-p", robot_yaml});
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_NE(got.err.find("names " + std::string(ORVANE_SOURCE_DIR) + "/motions/arm.urdf already"),
            std::string::npos) << got.err;
  std::string file = dir.file("starter.urdf", got.out);
  auto [rc, said] = check_urdf(file);
  EXPECT_EQ(rc, 0) << said;
  ur::ur_model m = ur::ur_model::load(file);
  std::vector<std::string> names;
  for (const ur::ur_joint& j : m.joints())
    names.push_back(j.name);
  EXPECT_EQ(names, (std::vector<std::string>{"base", "shoulder", "elbow", "wrist", "twist", "gripper"}));
}

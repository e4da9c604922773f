// The robot's description: link poses against poses worked out by hand, the files refused and
// why, and every URDF we ship or make checked by urdfdom's own check_urdf.
#include "host/urdf/description.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "host/urdf/starter.h"
#include "check_urdf.h"
#include "support/temp_dir.h"

namespace ur = orvane::urdf;
namespace mo = orvane::motion;

namespace {

constexpr double pi = std::numbers::pi;

std::string robot(const std::string& body)
{
  return "<?xml version=\"1.0\"?>\n<robot name=\"t\">\n" + body + "</robot>\n";
}

std::string link(const std::string& name) { return "<link name=\"" + name + "\"/>\n"; }

std::string joint(const std::string& name, const std::string& type, const std::string& parent,
                  const std::string& child, const std::string& extra)
{
  return "<joint name=\"" + name + "\" type=\"" + type + "\"><parent link=\"" + parent +
         "\"/><child link=\"" + child + "\"/>" + extra + "</joint>\n";
}

const std::string lim = "<limit lower=\"-3\" upper=\"3\" effort=\"1\" velocity=\"1\"/>";

// Where a point given in a link's frame is in the root's, for the positions q.
ur::vec3 where(const ur::ur_model& m, const ur::ur_positions& q, const std::string& link_name,
               ur::vec3 p)
{
  std::vector<ur::pose> poses = m.link_poses(q);
  for (size_t i = 0; i < m.links().size(); i++)
    if (m.links()[i] == link_name)
      return ur::ur_apply(poses[i], p);
  ADD_FAILURE() << "no link " << link_name;
  return {};
}

std::string source_file(const std::string& name)
{
  return std::string(ORVANE_SOURCE_DIR) + "/" + name;
}

}  // namespace

// Each row: a description, joint positions, and where a point of one link must then be.
TEST(UrdfPoses, LinksAreWhereTheJointsOriginsAxesAndPositionsPutThem)
{
  const std::string two_link = robot(
      link("base") + link("upper") + link("lower") +
      joint("j1", "revolute", "base", "upper", "<origin xyz=\"0 0 0.1\"/><axis xyz=\"0 1 0\"/>" + lim) +
      joint("j2", "revolute", "upper", "lower", "<origin xyz=\"0 0 0.2\"/><axis xyz=\"0 1 0\"/>" + lim));
  // A fixed joint turned a quarter about z: the revolute joint after it turns about its own x,
  // which is the root's y, and sits where the turned frame puts it.
  const std::string turned = robot(
      link("a") + link("b") + link("c") +
      joint("f", "fixed", "a", "b", "<origin xyz=\"1 0 0\" rpy=\"0 0 1.5707963267948966\"/>") +
      joint("r", "revolute", "b", "c", "<origin xyz=\"0 1 0\"/><axis xyz=\"1 0 0\"/>" + lim));
  const std::string slide = robot(
      link("a") + link("b") +
      joint("p", "prismatic", "a", "b", "<origin xyz=\"0 0 0.5\"/><axis xyz=\"0 0 2\"/>" + lim));
  const std::string spin = robot(
      link("a") + link("b") +
      joint("c", "continuous", "a", "b", "<origin xyz=\"0 0 1\"/><axis xyz=\"0 0 1\"/>"));
  const std::string jaws = robot(
      link("hand") + link("l") + link("r") +
      joint("grip", "revolute", "hand", "l", "<origin xyz=\"0.01 0 0\"/><axis xyz=\"0 1 0\"/>" + lim) +
      joint("mirror", "revolute", "hand", "r",
            "<origin xyz=\"-0.01 0 0\"/><axis xyz=\"0 1 0\"/>" + lim +
                "<mimic joint=\"grip\" multiplier=\"-1\" offset=\"0.1\"/>"));
  struct row {
    const char* what;
    const std::string& urdf;
    ur::ur_positions q;
    const char* link;
    ur::vec3 point, want;
  };
  const row rows[] = {
      {"two links at rest stand straight up", two_link, {}, "lower", {0, 0, 0.3}, {0, 0, 0.6}},
      {"the first a quarter forward, the second a quarter back", two_link,
       {{"j1", pi / 2}, {"j2", -pi / 2}}, "lower", {0, 0, 0.3}, {0.2, 0, 0.4}},
      {"both a quarter forward: the tip points down", two_link,
       {{"j1", pi / 2}, {"j2", pi / 2}}, "lower", {0, 0, 0.3}, {0.2, 0, -0.2}},
      {"a joint missing from the positions is at 0", two_link, {{"j2", pi / 2}}, "lower",
       {0, 0, 0.1}, {0.1, 0, 0.3}},
      {"names the model lacks are left alone", two_link, {{"elsewhere", 1.0}}, "lower", {0, 0, 0},
       {0, 0, 0.3}},
      {"a fixed joint's rpy turns the frames after it", turned, {}, "c", {1, 0, 0}, {0, 1, 0}},
      {"the turned frame's x axis is the root's y", turned, {{"r", pi / 2}}, "c", {0, 0, 1},
       {1, 0, 0}},
      {"a prismatic joint slides along its axis, made unit", slide, {{"p", 0.05}}, "b", {0, 0, 0},
       {0, 0, 0.55}},
      {"a continuous joint turns past any limit", spin, {{"c", 3 * pi}}, "b", {1, 0, 0},
       {-1, 0, 1}},
      {"a mimic joint follows its leader: multiplier and offset", jaws, {{"grip", 0.4}}, "r",
       {0, 0, 1}, {-0.01 + std::sin(-0.3), 0, std::cos(-0.3)}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    ur::ur_model m = ur::ur_model::parse(r.urdf, "t.urdf");
    ur::vec3 got = where(m, r.q, r.link, r.point);
    EXPECT_NEAR(got.x, r.want.x, 1e-9);
    EXPECT_NEAR(got.y, r.want.y, 1e-9);
    EXPECT_NEAR(got.z, r.want.z, 1e-9);
  }
}

// What a viewer is given per joint (parent link to child link) composes to the root's poses.
TEST(UrdfPoses, JointPosesAreEachChildInItsParentAndComposeToTheLinkPoses)
{
  ur::ur_model m = ur::ur_model::load(source_file("motions/arm.urdf"));
  ur::ur_positions q = {{"base", 0.3}, {"shoulder", -0.7}, {"elbow", 1.1}, {"wrist", 0.2},
                        {"twist", -2.0}, {"gripper", 0.5}};
  std::vector<ur::pose> rel = m.joint_poses(q), abs = m.link_poses(q);
  ASSERT_EQ(rel.size(), m.joints().size());
  ASSERT_EQ(abs.size(), m.links().size());
  EXPECT_EQ(m.root(), "base_link");
  for (size_t i = 0; i < m.joints().size(); i++) {
    const ur::ur_joint& j = m.joints()[i];
    SCOPED_TRACE(j.name);
    EXPECT_EQ(m.links()[i + 1], j.child);
    size_t parent = 0;
    while (m.links()[parent] != j.parent)
      parent++;
    EXPECT_LT(parent, i + 1) << "a parent comes before its child";
    ur::vec3 a = ur::ur_apply(ur::ur_compose(abs[parent], rel[i]), {0.01, 0.02, 0.03});
    ur::vec3 b = ur::ur_apply(abs[i + 1], {0.01, 0.02, 0.03});
    EXPECT_NEAR(a.x, b.x, 1e-12);
    EXPECT_NEAR(a.y, b.y, 1e-12);
    EXPECT_NEAR(a.z, b.z, 1e-12);
  }
  // The arm straight up at rest: the top of the jaw is the sum of the heights on the way.
  ur::vec3 top = where(m, {}, "jaw", {0.003, 0, 0.04});
  EXPECT_NEAR(top.z, 0.07 + 0.045 + 0.1 + 0.09 + 0.03 + 0.015 + 0.04, 1e-12);
  EXPECT_NEAR(top.x, 0.011, 1e-12);
}

TEST(UrdfPoses, ProfileDegreesBecomeRadiansOrForAPrismaticJointMetresFromMillimetres)
{
  ur::ur_joint r, p;
  r.kind = ur::ur_kind::revolute;
  p.kind = ur::ur_kind::prismatic;
  EXPECT_NEAR(ur::ur_position(r, 90), pi / 2, 1e-15);
  EXPECT_NEAR(ur::ur_position(r, -10), -pi / 18, 1e-15);
  EXPECT_NEAR(ur::ur_position(p, 25), 0.025, 1e-15);
}

// Files that cannot describe a robot are refused with the file's name and the parser's reason,
// and nothing is printed on the way.
TEST(UrdfLoad, RefusesWhatIsNoTreeOfLinksAndSaysWhy)
{
  struct row {
    const char* what;
    std::string text;
    const char* says;
  };
  std::string deep = "<robot name=\"d\"><link name=\"a\"/>";
  for (int i = 0; i < 200; i++)
    deep += "<x>";
  std::string big = robot("<link name=\"a\"/>\n<!--" + std::string(ur::UR_MAX_BYTES, 'x') + "-->");
  const row rows[] = {
      {"not XML", "<robot name=\"x\"><link", "t.urdf: "},
      {"no robot element", "<?xml version=\"1.0\"?><thing/>", "t.urdf: "},
      {"two roots", robot(link("a") + link("b")), "Two root links"},
      {"a joint to a link that is not there",
       robot(link("a") + joint("j", "revolute", "a", "nowhere", lim)), "t.urdf: "},
      {"a revolute joint without limits",
       robot(link("a") + link("b") + joint("j", "revolute", "a", "b", "")), "t.urdf: "},
      {"a mimic of no joint",
       robot(link("a") + link("b") + joint("j", "continuous", "a", "b", "<mimic joint=\"k\"/>")),
       "mimics k, which is no joint here"},
      {"elements nested 200 deep", deep, "nest deeper than 32"},
      {"over a megabyte", big, "larger than 1024 KiB"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    testing::internal::CaptureStderr();
    try {
      ur::ur_model::parse(r.text, "t.urdf");
      ADD_FAILURE() << "accepted";
    } catch (const ur::ur_error& e) {
      EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
      EXPECT_GT(std::string(e.what()).size(), std::string("t.urdf: ").size()) << "says why";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  EXPECT_THROW(ur::ur_model::load("/nonexistent/arm.urdf"), ur::ur_error);
}

// The shipped arm is the example profile's: the same joints, as joints of their own, with the
// same limits; and urdfdom's own checker takes it.
TEST(UrdfFiles, ShippedArmHasTheProfilesJointsAndLimitsAndPassesCheckUrdf)
{
  mo::profile p = mo::profile_load(source_file("motions/robot.yaml"));
  ASSERT_FALSE(p.urdf.empty());
  ur::ur_model m = ur::ur_profile_model(p);
  EXPECT_EQ(m.name(), p.robot);
  EXPECT_EQ(ur::ur_check(m, p), std::vector<std::string>{});
  for (const mo::joint& j : p.joints) {
    SCOPED_TRACE(j.name);
    const ur::ur_joint* u = m.joint(j.name);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->kind, ur::ur_kind::revolute);
    EXPECT_NEAR(u->lower, j.min * pi / 180, 1e-7);
    EXPECT_NEAR(u->upper, j.max * pi / 180, 1e-7);
  }
  auto [rc, out] = check_urdf(p.urdf);
  EXPECT_EQ(rc, 0) << out;
}

// A starting description for a profile without one: every joint of the profile, in its order,
// with its limits; names that are not plain words survive the trip through XML; check_urdf
// takes every one made.
TEST(UrdfFiles, StarterFromAProfileHasItsJointsAndLimitsAndPassesCheckUrdf)
{
  TempDir dir;
  const std::string odd = "robot: <odd> & \"quoted\" --arm\n"
                          "joints:\n"
                          "  turn: {id: 1, min: -140, max: 140, speed: 90}\n"
                          "  \"lift <a&b>\": {id: 2, min: -45, max: 100}\n"
                          "  claw: {id: 3, min: 0, max: 40}\n";
  struct row {
    const char* what;
    mo::profile p;
  };
  const row rows[] = {
      {"the example profile", mo::profile_load(source_file("motions/robot.yaml"))},
      {"odd names", mo::profile_load(dir.file("odd--profile.yaml", odd))},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    mo::profile p = r.p;
    p.urdf.clear();  // as for a builder who has none
    std::string text = ur::ur_starter(p);
    ur::ur_model m = ur::ur_profile_model(p);
    EXPECT_EQ(m.text(), text);
    EXPECT_EQ(m.name(), p.robot);
    EXPECT_EQ(ur::ur_check(m, p), std::vector<std::string>{});
    ASSERT_EQ(m.joints().size(), p.joints.size());
    for (size_t i = 0; i < p.joints.size(); i++) {
      const ur::ur_joint& u = m.joints()[i];
      EXPECT_EQ(u.name, p.joints[i].name);
      EXPECT_EQ(u.kind, ur::ur_kind::revolute);
      EXPECT_NEAR(u.lower, p.joints[i].min * pi / 180, 1e-8);
      EXPECT_NEAR(u.upper, p.joints[i].max * pi / 180, 1e-8);
    }
    auto [rc, out] = check_urdf(dir.file("starter.urdf", text));
    EXPECT_EQ(rc, 0) << out;
    // urdfdom lets "--" inside a comment pass; a browser's strict XML reader refuses the file.
    for (size_t at = 0; (at = text.find("<!--", at)) != std::string::npos; at += 4) {
      std::string inside = text.substr(at + 4, text.find("-->", at + 4) - at - 4);
      EXPECT_EQ(inside.find("--"), std::string::npos) << inside;
    }
  }
}

TEST(UrdfFiles, CheckTellsProfileJointsTheDescriptionCannotMove)
{
  mo::profile p = mo::profile_parse("joints:\n  a: {id: 1}\n  b: {id: 2}\n  c: {id: 3}\n", "p.yaml");
  ur::ur_model m = ur::ur_model::parse(
      robot(link("r") + link("x") + link("y") +
            joint("a", "revolute", "r", "x", lim) + joint("b", "fixed", "x", "y", "")),
      "t.urdf");
  std::vector<std::string> said = ur::ur_check(m, p);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[0].find("joint b is not a joint of its own"), std::string::npos);
  EXPECT_NE(said[1].find("joint c of the profile is not in the description"), std::string::npos);
}

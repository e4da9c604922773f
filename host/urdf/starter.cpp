#include "host/urdf/starter.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace mo = orvane::motion;

namespace orvane::urdf {

namespace {

// The starting arm's measures, in metres: a mount to stand on, then a cylinder per joint.
constexpr double mount_w = 0.10, mount_h = 0.03;
constexpr double seg_len = 0.07, seg_r = 0.018;
constexpr double deg = std::numbers::pi / 180.0;

std::string num(double v)
{
  char s[32];
  snprintf(s, sizeof s, "%.9g", std::abs(v) < 1e-12 ? 0.0 : v);
  return s;
}

// Names come from the profile, where any character may be used; in an attribute they are text.
std::string attr(const std::string& s)
{
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

bool has(const std::string& name, std::initializer_list<const char*> words)
{
  std::string low;
  for (char c : name)
    low += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* w : words)
    if (low.find(w) != std::string::npos)
      return true;
  return false;
}

// A comment may not hold "--": a file name that does is told without it.
std::string comment(std::string s)
{
  for (size_t at; (at = s.find("--")) != std::string::npos;)
    s.replace(at, 2, "- -");
  return s;
}

}  // namespace

std::string ur_starter(const mo::profile& p)
{
  std::string name = p.robot.empty() ? "robot" : p.robot;
  std::string x = "<?xml version=\"1.0\"?>\n";
  // No "--" may stand inside a comment, not even an option's name: strict XML readers (a
  // browser's) refuse the whole file.
  x += "<!-- A starting description of " + comment(name) + ", made by the profile verb of orvane-ctl";
  if (!p.file.empty())
    x += " from " + comment(p.file);
  x += ".\n"
       "     A chain of revolute joints, one per joint of the profile and named as there, with its\n"
       "     limits (joint degrees as radians); at 0 the arm stands straight up. Measure your robot\n"
       "     and change each joint's origin (where it sits on the link before), its axis and the\n"
       "     shapes; keep the joint names, which is how the tools find the servos. -->\n";
  x += "<robot name=\"" + attr(name) + "\">\n";
  x += "  <material name=\"mount\"><color rgba=\"0.3 0.32 0.36 1\"/></material>\n"
       "  <material name=\"even\"><color rgba=\"0.95 0.55 0.12 1\"/></material>\n"
       "  <material name=\"odd\"><color rgba=\"0.15 0.45 0.85 1\"/></material>\n\n";
  x += "  <link name=\"mount\">\n"
       "    <visual>\n"
       "      <origin xyz=\"0 0 " + num(mount_h / 2) + "\"/>\n"
       "      <geometry><box size=\"" + num(mount_w) + " " + num(mount_w) + " " + num(mount_h) + "\"/></geometry>\n"
       "      <material name=\"mount\"/>\n"
       "    </visual>\n"
       "  </link>\n";
  std::string parent = "mount";
  double z = mount_h;
  for (size_t i = 0; i < p.joints.size(); i++) {
    const mo::joint& j = p.joints[i];
    std::string link = j.name + "_link";
    bool about_z = i == 0 || has(j.name, {"twist", "roll", "yaw", "rotat"});
    bool jaw = has(j.name, {"grip", "claw", "jaw", "finger"});
    x += "\n  <joint name=\"" + attr(j.name) + "\" type=\"revolute\">\n";
    x += "    <parent link=\"" + attr(parent) + "\"/>\n    <child link=\"" + attr(link) + "\"/>\n";
    x += "    <origin xyz=\"0 0 " + num(z) + "\"/>\n";
    x += std::string("    <axis xyz=\"") + (about_z ? "0 0 1" : "0 1 0") + "\"/>\n";
    // The format wants an effort and a speed for every limit; the profile knows no effort, and a
    // joint without a top speed gets one turn a second, more than a hobby servo makes.
    x += "    <limit lower=\"" + num(j.min * deg) + "\" upper=\"" + num(j.max * deg) +
         "\" effort=\"1\" velocity=\"" + num(j.speed > 0 ? j.speed * deg : 2 * std::numbers::pi) +
         "\"/>\n";
    x += "  </joint>\n";
    x += "  <link name=\"" + attr(link) + "\">\n    <visual>\n";
    if (jaw) {
      x += "      <origin xyz=\"0.012 0 " + num(seg_len / 3) + "\"/>\n"
           "      <geometry><box size=\"0.008 0.03 " + num(seg_len * 2 / 3) + "\"/></geometry>\n";
    } else {
      x += "      <origin xyz=\"0 0 " + num(seg_len / 2) + "\"/>\n"
           "      <geometry><cylinder radius=\"" + num(seg_r) + "\" length=\"" + num(seg_len) +
           "\"/></geometry>\n";
    }
    x += std::string("      <material name=\"") + (i % 2 ? "odd" : "even") + "\"/>\n";
    x += "    </visual>\n  </link>\n";
    parent = link;
    z = seg_len;
  }
  x += "</robot>\n";
  return x;
}

ur_model ur_profile_model(const mo::profile& p)
{
  if (!p.urdf.empty())
    return ur_model::load(p.urdf);
  return ur_model::parse(ur_starter(p), p.file.empty() ? "the starting description" : p.file);
}

std::vector<std::string> ur_check(const ur_model& m, const mo::profile& p)
{
  std::vector<std::string> out;
  for (const mo::joint& j : p.joints) {
    const ur_joint* u = m.joint(j.name);
    if (!u)
      out.push_back("joint " + j.name + " of the profile is not in the description: it is drawn at rest");
    else if (u->kind == ur_kind::fixed || u->kind == ur_kind::other || !u->mimic.empty())
      out.push_back("joint " + j.name + " is not a joint of its own in the description (fixed, "
                    "floating, planar or mimic): it is drawn at rest");
  }
  return out;
}

}  // namespace orvane::urdf

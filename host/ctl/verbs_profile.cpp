// The profile verb: what a robot profile says, checked against the description it names, and a
// starting URDF made from it for a builder who has none. Reads files only; no robot.
#include <cstdio>

#include "host/urdf/starter.h"
#include "verbs.h"

namespace mo = orvane::motion;
namespace ur = orvane::urdf;

namespace {

struct profile_args {
  std::string profile;
  bool urdf = false;
};

void show(ctl& c, const profile_args& a)
{
  if (!a.profile.empty())
    c.profile_path = a.profile;
  if (c.profile_path.empty())
    throw usage_error("profile needs a profile: -p FILE, --profile FILE or ORVANE_PROFILE");
  const mo::profile& p = c.profile();
  if (a.urdf) {
    if (!p.urdf.empty())
      ctl_note("the profile names " + p.urdf + " already; this is a new start, not that file");
    std::string x = ur::ur_starter(p);
    fwrite(x.data(), 1, x.size(), stdout);
    return;
  }
  printf("profile %s%s\n", p.file.c_str(), p.robot.empty() ? "" : (": " + p.robot).c_str());
  printf("%-12s %3s %7s %7s %7s %7s %7s\n", "joint", "id", "min", "max", "trim", "speed", "accel");
  for (const mo::joint& j : p.joints)
    printf("%-12s %3d %7s %7s %7s %7s %7s%s\n", j.name.c_str(), j.id, mo::fmt_deg(j.min).c_str(),
           mo::fmt_deg(j.max).c_str(), mo::fmt_deg(j.trim).c_str(),
           j.speed > 0 ? mo::fmt_deg(j.speed).c_str() : "-", j.accel > 0 ? mo::fmt_deg(j.accel).c_str() : "-",
           j.reverse ? "  reverse" : "");
  if (p.urdf.empty()) {
    printf("description: none named (the 3D views draw the starting one: profile --urdf)\n");
    return;
  }
  ur::ur_model m = [&] {
    try {
      return ur::ur_model::load(p.urdf);
    } catch (const ur::ur_error& e) {
      throw orvane::error(e.what());
    }
  }();
  printf("description: %s, robot %s, %zu links, %zu joints\n", p.urdf.c_str(), m.name().c_str(),
         m.links().size(), m.joints().size());
  std::vector<std::string> problems = ur::ur_check(m, p);
  for (const std::string& s : problems)
    ctl_note(s);
  if (!problems.empty())
    throw orvane::error(p.urdf + " and the profile disagree: " + std::to_string(problems.size()) +
                        (problems.size() == 1 ? " problem" : " problems"));
}

}  // namespace

void ctl_profile_verbs(CLI::App& app, ctl& c)
{
  static profile_args a;
  auto* v = ctl_verb(app, c, "profile", "Show a robot profile and check its URDF, or write a starting URDF",
                     "profile [-p PROFILE] [--urdf]", [&c] { show(c, a); });
  v->add_option("-p,--profile", a.profile, "robot profile (robot.yaml; default --profile or ORVANE_PROFILE)");
  v->add_flag("--urdf", a.urdf,
              "write a starting URDF made from the profile on standard output: a chain of revolute "
              "joints, one per profile joint, with its limits");
}

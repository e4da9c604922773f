#include "host/motion/profile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "host/motion/yaml_util.h"

namespace orvane::motion {

profile profile_none() { return profile(); }

// The whole file as text, or a one-entry error list naming it.
std::string mo_read_file(const std::string& path)
{
  auto fail = [&](int err) { return mo_errors({path + ": cannot read the file: " + strerror(err)}); };
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw fail(errno);
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int err = errno;  // a folder, for one: EISDIR
      close(fd);
      throw fail(err);
    }
  }
  close(fd);
  return text;
}

static void profile_joint(yaml_reader& r, const YAML::Node& key, const YAML::Node& v, profile& p)
{
  std::string f = "joints." + key.Scalar();
  joint j;
  j.name = key.Scalar();
  if (j.name.empty() || !key.IsScalar())
    return r.fail(key, "joints", "a joint needs a name");
  if (std::string why = orvane::joint_name_problem(j.name); !why.empty())
    return r.fail(key, f, why);
  if (p.find(j.name))
    return r.fail(key, f, "named twice");
  if (!v.IsMap())
    return r.fail(v, f, "needs a map with id, and optionally trim, reverse, min, max, speed, accel");
  r.only(v, f, {"id", "trim", "reverse", "min", "max", "speed", "accel"});
  bool ok = true;
  if (!v["id"]) {
    r.fail(v, f + ".id", "missing: every joint needs its servo id");
    ok = false;
  } else if (auto id = r.number(v["id"], f + ".id")) {
    if (*id != std::floor(*id) || *id < 1 || *id > MO_MAX_ID) {
      r.fail(v["id"], f + ".id", "servo ids are 1 to 32");
      ok = false;
    } else if (const joint* other = p.by_id(static_cast<int>(*id))) {
      r.fail(v["id"], f + ".id", "servo " + fmt_deg(*id) + " is joint " + other->name + " already");
      ok = false;
    }
    j.id = static_cast<int>(*id);
  } else {
    ok = false;
  }
  auto deg = [&](const char* name, double& out, double lo, double hi) {
    if (!v[name])
      return;
    if (auto d = r.number(v[name], f + "." + name)) {
      if (*d < lo || *d > hi) {
        r.fail(v[name], f + "." + name, "outside " + fmt_deg(lo) + ".." + fmt_deg(hi) + " degrees");
        ok = false;
      }
      out = *d;
    } else {
      ok = false;
    }
  };
  deg("trim", j.trim, -MO_DEG_LIMIT, MO_DEG_LIMIT);
  deg("min", j.min, -MO_DEG_LIMIT, MO_DEG_LIMIT);
  deg("max", j.max, -MO_DEG_LIMIT, MO_DEG_LIMIT);
  deg("speed", j.speed, 0, 1e4);
  deg("accel", j.accel, 0, 1e6);
  if (v["reverse"]) {
    auto rev = r.flag(v["reverse"], f + ".reverse");
    j.reverse = rev.value_or(false);
    ok = ok && rev;
  }
  if (ok && j.min >= j.max) {
    r.fail(v, f, "min " + fmt_deg(j.min) + " is not below max " + fmt_deg(j.max));
    ok = false;
  }
  if (ok)
    p.joints.push_back(j);
}

// A text value of the top level.
static void profile_text(yaml_reader& r, const YAML::Node& doc, const char* key, std::string& out)
{
  YAML::Node v = doc[key];
  if (!v)
    return;
  if (!v.IsScalar() || v.Scalar().empty())
    return r.fail(v, key, "needs a text value");
  out = v.Scalar();
}

// A file named in a profile is found beside the profile, wherever the tool was started.
static std::string profile_relative(const std::string& profile_file, const std::string& name)
{
  if (name.front() == '/')
    return name;
  size_t slash = profile_file.rfind('/');
  return slash == std::string::npos ? name : profile_file.substr(0, slash + 1) + name;
}

profile profile_parse(const std::string& text, const std::string& file)
{
  yaml_reader r{file, {}, {}};
  profile p;
  p.file = file;
  p.joints.clear();  // none until the file names them
  YAML::Node doc = r.parse(text);
  if (r.errors.empty() && !doc.IsMap())
    r.fail(doc, "", "a profile is a map with a 'joints' map");
  if (r.errors.empty()) {
    r.only(doc, "", {"robot", "urdf", "joints"});
    if (doc["robot"] && doc["robot"].IsScalar())  // for people: never a reason to refuse a file
      p.robot = doc["robot"].Scalar();
    profile_text(r, doc, "urdf", p.urdf);
    if (!p.urdf.empty())
      p.urdf = profile_relative(file, p.urdf);
    YAML::Node js = doc["joints"];
    if (!js || !js.IsMap() || js.size() == 0)
      r.fail(js ? js : doc, "joints", "needs a map of joint names to servos");
    else
      for (const auto& kv : js)
        profile_joint(r, kv.first, kv.second, p);
  }
  r.finish();
  return p;
}

profile profile_load(const std::string& path)
{
  return profile_parse(mo_read_file(path), path);
}

double joint_servo_deg(const joint& j, double deg) { return orvane::servo_degrees(j, deg); }

int16_t joint_units(const joint& j, double deg)
{
  return static_cast<int16_t>(std::lround(joint_servo_deg(j, deg) * 10));
}

double joint_deg(const joint& j, int16_t units) { return orvane::joint_degrees(j, units / 10.0); }

std::string joint_check(const joint& j, double deg)
{
  if (deg < j.min || deg > j.max)
    return fmt_deg(deg) + " degrees is outside the joint's limits " + fmt_deg(j.min) + ".." +
           fmt_deg(j.max);
  double s = joint_servo_deg(j, deg);
  if (s < -MO_DEG_LIMIT || s > MO_DEG_LIMIT)
    return fmt_deg(deg) + " degrees puts servo " + std::to_string(j.id) + " at " + fmt_deg(s) +
           ", beyond its range of -150..150";
  return "";
}

}  // namespace orvane::motion

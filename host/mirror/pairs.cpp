#include "host/mirror/pairs.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace orvane::mirror {

namespace {

constexpr double scale_max = 10;     // a lever of ten turns a servo's tenth of a degree into a degree
constexpr double offset_max = 300;   // the whole of a servo's range, either way

bool digits(const std::string& s)
{
  return !s.empty() && s.size() <= 3 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The number `s` is, once digits() has said it is one (three digits at most, so it fits).
int number(const std::string& s)
{
  int v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  return v;
}

// The joints a name stands for: a joint's name, a servo id, or a range of ids "7-12".
std::vector<const joint*> named(const profile& p, const std::string& name, const std::string& opt, const char* side)
{
  if (const joint* j = p.find(name))
    return {j};
  std::string where = p.file.empty() ? std::string("(servo ids 1..32 without a profile)") : "in " + p.file;
  auto one = [&](int id) -> const joint* {
    const joint* j = p.by_id(id);
    if (!j)
      throw pair_error(opt + ": " + side + " has no servo " + std::to_string(id) + " " + where);
    return j;
  };
  if (digits(name))
    return {one(number(name))};
  size_t dash = name.find('-', 1);
  if (dash != std::string::npos && digits(name.substr(0, dash)) && digits(name.substr(dash + 1))) {
    int lo = number(name.substr(0, dash)), hi = number(name.substr(dash + 1));
    if (lo > hi)
      throw pair_error(opt + ": '" + name + "' is not a range of servo ids (low-high)");
    std::vector<const joint*> js;
    for (int id = lo; id <= hi; id++)
      js.push_back(one(id));
    return js;
  }
  throw pair_error(opt + ": " + side + " has no joint '" + name + "' " + where);
}

// "FOLLOWER=VALUE" split at its '='.
std::pair<std::string, std::string> sides(const std::string& text, const std::string& opt)
{
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
    throw pair_error(opt + " '" + text + "' is not FOLLOWER=" + (opt == "--map" ? "LEADER" : "VALUE"));
  return {text.substr(0, eq), text.substr(eq + 1)};
}

double number(const std::string& text, const std::string& opt, double lo, double hi)
{
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || !std::isfinite(v) || v < lo || v > hi)
    throw pair_error(opt + ": '" + text + "' is not a number in " + motion::fmt_deg(lo) + ".." +
                     motion::fmt_deg(hi));
  return v;
}

}  // namespace

std::string joint_label(const joint& j)
{
  std::string id = std::to_string(j.id);
  return j.name == id ? "servo " + id : j.name + " (servo " + id + ")";
}

std::vector<pair> make_pairs(const profile& leader, const profile& follower, const pair_options& s,
                             const std::vector<int>& follower_ids, bool same_robot)
{
  std::vector<pair> out;
  auto add = [&](const joint& f, const joint& l, const std::string& why) {
    for (const pair& p : out)
      if (p.follower.id == f.id)
        throw pair_error(why + joint_label(f) + " is led twice");
    out.push_back({l, f, 1, 0});
  };
  if (!s.map.empty()) {
    for (const std::string& m : s.map) {
      auto [fs, ls] = sides(m, "--map");
      auto fj = named(follower, fs, "--map " + m, "the follower");
      auto lj = named(leader, ls, "--map " + m, "the leader");
      if (fj.size() != lj.size())
        throw pair_error("--map " + m + ": " + std::to_string(fj.size()) + " follower joints for " +
                         std::to_string(lj.size()) + " leader joints");
      for (size_t i = 0; i < fj.size(); i++)
        add(*fj[i], *lj[i], "--map " + m + ": ");
    }
  } else if (follower.file.empty() && leader.file.empty()) {
    for (int id : follower_ids)
      if (const joint* f = follower.by_id(id))
        add(*f, *leader.by_id(id), "");
  } else {
    for (const joint& f : follower.joints)
      if (const joint* l = leader.find(f.name))
        add(f, *l, "");
  }
  if (out.empty())
    throw pair_error(s.map.empty() ? "the leader's profile names none of the follower's joints: give --map FOLLOWER=LEADER"
                                   : "--map pairs no joints");
  if (same_robot)
    for (const pair& p : out)
      for (const pair& q : out)
        if (p.leader.id == q.follower.id)
          throw pair_error("servo " + std::to_string(p.leader.id) +
                           (p.leader.id == p.follower.id ? " cannot lead itself: leader and follower are one robot (give --map, e.g. --map 7-12=1-6)"
                                                         : " cannot be read limp and driven at once"));

  auto find = [&](const std::string& name, const std::string& opt) -> pair& {
    auto js = named(follower, name, opt, "the follower");
    for (pair& p : out)
      if (js.size() == 1 && p.follower.id == js[0]->id)
        return p;
    throw pair_error(opt + ": " + name + " is not a mirrored joint");
  };
  for (const std::string& v : s.scale) {
    auto [fs, x] = sides(v, "--scale");
    double k = number(x, "--scale " + v, -scale_max, scale_max);
    if (k == 0)
      throw pair_error("--scale " + v + ": a scale of 0 would hold the joint still");
    find(fs, "--scale " + v).scale = k;
  }
  for (const std::string& v : s.offset) {
    auto [fs, x] = sides(v, "--offset");
    find(fs, "--offset " + v).offset = number(x, "--offset " + v, -offset_max, offset_max);
  }
  return out;
}

}  // namespace orvane::mirror

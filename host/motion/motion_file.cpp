#include "host/motion/motion_file.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "host/motion/yaml_util.h"

namespace orvane::motion {

namespace {

struct motion_reader {
  yaml_reader r;
  const profile& p;
  motion m;
  std::vector<std::string> named;  // every joint the motion names, in order of first mention
  std::vector<bool> torque_all;    // per keyframe: a torque for every named joint, and its value
  std::vector<int> torque_all_value;
  // Without a profile every joint name is the same mistake: said once, at its first place.
  std::vector<std::string> unprofiled;
  int unprofiled_line = 0, unprofiled_count = 0;
  std::string unprofiled_field;

  void mention(const std::string& j)
  {
    if (std::find(named.begin(), named.end(), j) == named.end())
      named.push_back(j);
  }

  const joint* find_joint(const YAML::Node& key, const std::string& field)
  {
    const joint* j = p.find(key.Scalar());
    if (j)
      return j;
    if (!p.file.empty()) {
      r.fail(key, field, "no such joint in " + p.file);
    } else {
      if (unprofiled_count++ == 0) {
        unprofiled_line = yaml_line(key);
        unprofiled_field = field;
      }
      if (std::find(unprofiled.begin(), unprofiled.end(), key.Scalar()) == unprofiled.end())
        unprofiled.push_back(key.Scalar());
    }
    return nullptr;
  }

  void fail_unprofiled()
  {
    if (unprofiled.empty())
      return;
    std::string what = "not a servo id (1 to 32; give a profile to use joint names)";
    if (unprofiled_count > 1) {
      std::string names;
      for (size_t i = 1; i < unprofiled.size(); i++)
        names += (i > 1 ? ", " : "") + unprofiled[i];
      what += "; " + std::to_string(unprofiled_count - 1) + " more " +
              (unprofiled_count == 2 ? "place names" : "places name") + " joints without one" +
              (names.empty() ? "" : ": " + names);
    }
    r.fail_line(unprofiled_line, unprofiled_field, what);
  }

  // "on", "off", true, false or a maximum torque from 0 to 100.
  std::optional<int> torque_value(const YAML::Node& n, const std::string& field)
  {
    if (n.IsScalar()) {
      char* end = nullptr;
      long v = strtol(n.Scalar().c_str(), &end, 10);
      if (!n.Scalar().empty() && *end == '\0') {
        if (v >= 0 && v <= 100)
          return static_cast<int>(v);
      } else if (bool b; YAML::convert<bool>::decode(n, b)) {
        return b ? MO_TORQUE_ON : 0;
      }
    }
    r.fail(n, field, "needs on, off or a maximum torque from 0 to 100");
    return std::nullopt;
  }

  void duration(const YAML::Node& k, const std::string& f, keyframe& kf)
  {
    if (k["ms"] && k["ticks"])
      return r.fail(k, f, "give ms or ticks, not both");
    if (!k["ms"] && !k["ticks"])
      return r.fail(k, f, "needs a duration: ms or ticks");
    kf.in_ticks = bool(k["ticks"]);
    const char* name = kf.in_ticks ? "ticks" : "ms";
    YAML::Node v = k[name];
    auto d = r.number(v, f + "." + name);
    if (!d)
      return;
    kf.amount = *d;
    if (*d <= 0)
      r.fail(v, f + "." + name, "a keyframe needs a duration above zero");
    else if (kf.in_ticks && *d != std::floor(*d))
      r.fail(v, f + ".ticks", "needs a whole number of ticks");
    else if (*d > (kf.in_ticks ? MO_MAX_MS * 60 / 1000 : MO_MAX_MS))
      r.fail(v, f + "." + name, "longer than ten minutes");
  }

  void pose(const YAML::Node& k, const std::string& f, keyframe& kf)
  {
    YAML::Node ps = k["pose"];
    if (!ps)
      return;
    if (!ps.IsMap())
      return r.fail(ps, f + ".pose", "needs a map of joints to degrees");
    for (const auto& kv : ps) {
      std::string jf = f + ".pose." + kv.first.Scalar();
      const joint* j = find_joint(kv.first, jf);
      auto deg = r.number(kv.second, jf);
      if (!j || !deg)
        continue;
      if (std::any_of(kf.pose.begin(), kf.pose.end(), [&](auto& e) { return e.first == j->name; })) {
        r.fail(kv.first, jf, "named twice in one pose");
        continue;
      }
      if (std::string why = joint_check(*j, *deg); !why.empty())
        r.fail(kv.second, jf, why);
      kf.pose.emplace_back(j->name, *deg);
      mention(j->name);
    }
  }

  void torque(const YAML::Node& k, const std::string& f, keyframe& kf)
  {
    torque_all.push_back(false);
    torque_all_value.push_back(0);
    YAML::Node t = k["torque"];
    if (!t)
      return;
    if (t.IsMap()) {
      for (const auto& kv : t) {
        std::string jf = f + ".torque." + kv.first.Scalar();
        const joint* j = find_joint(kv.first, jf);
        auto v = torque_value(kv.second, jf);
        if (j && v) {
          kf.torque.emplace_back(j->name, *v);
          mention(j->name);
        }
      }
    } else if (auto v = torque_value(t, f + ".torque")) {
      torque_all.back() = true;
      torque_all_value.back() = *v;
    }
  }

  std::optional<mo_ease> ease(const YAML::Node& n, const std::string& field)
  {
    for (mo_ease e : {mo_ease::linear, mo_ease::smooth, mo_ease::spline})
      if (n.IsScalar() && n.Scalar() == ease_name(e))
        return e;
    r.fail(n, field, "needs linear, smooth or spline");
    return std::nullopt;
  }

  void frame(const YAML::Node& k, size_t i)
  {
    std::string f = "keyframes[" + std::to_string(i + 1) + "]";
    keyframe kf;
    kf.line = yaml_line(k);
    if (!k.IsMap())
      return r.fail(k, f, "a keyframe is a map with ms or ticks, and pose");
    r.only(k, f, {"ms", "ticks", "pose", "torque", "ease"});
    if (k["ease"])
      if (auto e = ease(k["ease"], f + ".ease")) {
        kf.ease = *e;
        kf.ease_own = true;
      }
    duration(k, f, kf);
    pose(k, f, kf);
    torque(k, f, kf);
    m.frames.push_back(kf);
  }

  // Channels last: a scalar torque means every joint the whole motion names.
  void resolve()
  {
    for (size_t i = 0; i < m.frames.size(); i++) {
      keyframe& kf = m.frames[i];
      if (!kf.ease_own)
        kf.ease = m.ease;
      if (torque_all[i])
        for (const auto& n : named)
          if (std::none_of(kf.torque.begin(), kf.torque.end(), [&](auto& e) { return e.first == n; }))
            kf.torque.emplace_back(n, torque_all_value[i]);
      for (const auto& [n, deg] : kf.pose) {
        const joint* j = p.find(n);
        kf.targets.push_back({static_cast<uint8_t>(mo_goal_ch(j->id)), joint_units(*j, deg)});
      }
      for (const auto& [n, v] : kf.torque)
        kf.targets.push_back({static_cast<uint8_t>(mo_torque_ch(p.find(n)->id)), static_cast<int16_t>(v)});
    }
  }

  void read(const std::string& text)
  {
    YAML::Node doc = r.parse(text);
    if (!r.errors.empty())
      return;
    if (!doc.IsMap())
      return r.fail(doc, "", "a motion is a map with a 'keyframes' list");
    r.only(doc, "", {"description", "repeat", "ease", "keyframes"});
    if (YAML::Node e = doc["ease"])
      m.ease = ease(e, "ease").value_or(mo_ease::linear);
    if (YAML::Node d = doc["description"]; d && d.IsScalar())
      m.description = d.Scalar();
    if (YAML::Node rep = doc["repeat"]) {
      auto v = r.number(rep, "repeat");
      if (v && (*v != std::floor(*v) || *v < 1 || *v > 10000))
        r.fail(rep, "repeat", "needs a whole number from 1 to 10000");
      else if (v)
        m.repeat = static_cast<unsigned>(*v);
    }
    YAML::Node ks = doc["keyframes"];
    if (!ks || !ks.IsSequence() || ks.size() == 0)
      return r.fail(ks ? ks : doc, "keyframes", "needs a list of at least one keyframe");
    for (size_t i = 0; i < ks.size(); i++)
      frame(ks[i], i);
    fail_unprofiled();
    if (r.errors.empty())
      resolve();
  }
};

// A joint name as a YAML key: plain when it cannot be taken for anything else.
std::string yaml_key(const std::string& s)
{
  bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
  });
  if (plain && s != "on" && s != "off" && s != "true" && s != "false" && s != "yes" && s != "no")
    return s;
  std::string q = "\"";
  for (char c : s)
    q += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return q + "\"";
}

std::string torque_word(int v)
{
  return v == 0 ? "off" : v == MO_TORQUE_ON ? "on" : std::to_string(v);
}

}  // namespace

const char* ease_name(mo_ease e)
{
  return e == mo_ease::smooth ? "smooth" : e == mo_ease::spline ? "spline" : "linear";
}

motion motion_parse(const std::string& text, const std::string& file, const profile& p)
{
  motion_reader mr{{file, {}, {}}, p, {}, {}, {}, {}, {}, 0, 0, {}};
  mr.m.file = file;
  mr.read(text);
  mr.r.finish();
  return mr.m;
}

motion motion_load(const std::string& path, const profile& p)
{
  return motion_parse(mo_read_file(path), path, p);
}

std::string motion_text(const motion& m)
{
  std::string s;
  if (!m.description.empty())
    s += "description: " + yaml_key(m.description) + "\n";
  if (m.repeat != 1)
    s += "repeat: " + std::to_string(m.repeat) + "\n";
  if (m.ease != mo_ease::linear)
    s += std::string("ease: ") + ease_name(m.ease) + "\n";
  std::vector<std::string> named;
  auto mention = [&](const std::string& n) {
    if (std::find(named.begin(), named.end(), n) == named.end())
      named.push_back(n);
  };
  for (const keyframe& k : m.frames) {
    for (const auto& e : k.pose)
      mention(e.first);
    for (const auto& e : k.torque)
      mention(e.first);
  }
  s += "keyframes:\n";
  for (const keyframe& k : m.frames) {
    s += k.in_ticks ? "  - ticks: " + fmt_deg(k.amount) + "\n" : "  - ms: " + fmt_deg(k.amount) + "\n";
    if (k.ease != m.ease)
      s += std::string("    ease: ") + ease_name(k.ease) + "\n";
    if (!k.torque.empty()) {
      bool same = std::all_of(k.torque.begin(), k.torque.end(),
                              [&](auto& e) { return e.second == k.torque[0].second; });
      if (same && k.torque.size() == named.size()) {
        s += "    torque: " + torque_word(k.torque[0].second) + "\n";
      } else {
        s += "    torque: {";
        for (size_t i = 0; i < k.torque.size(); i++)
          s += (i ? ", " : "") + yaml_key(k.torque[i].first) + ": " + torque_word(k.torque[i].second);
        s += "}\n";
      }
    }
    s += "    pose: {";
    for (size_t i = 0; i < k.pose.size(); i++)
      s += (i ? ", " : "") + yaml_key(k.pose[i].first) + ": " + fmt_deg(k.pose[i].second);
    s += "}\n";
  }
  return s;
}

}  // namespace orvane::motion

#include "host/urdf/description.h"

#include <cmath>
#include <numbers>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>

#include <console_bridge/console.h>
#include <urdf_parser/urdf_parser.h>

namespace orvane::urdf {

namespace {

// The parser says what is wrong through console_bridge's log; this keeps its first error for
// our message instead of letting it print. The log's handler is process-wide, hence the lock.
class error_catcher : public console_bridge::OutputHandler {
 public:
  void log(const std::string& text, console_bridge::LogLevel level, const char*, int) override
  {
    if (level >= console_bridge::CONSOLE_BRIDGE_LOG_ERROR && first.empty())
      first = text;
  }
  std::string first;
};
std::mutex parser_lock;

// How deep the elements of a document nest, counted without parsing it: the parser underneath
// recurses once per level, so a file of nothing but opening tags would overflow the stack.
// Comments, declarations and quoted attribute values are skipped; the parser judges the rest.
int nesting(std::string_view s)
{
  int depth = 0, deepest = 0;
  auto skip_to = [&](size_t& i, std::string_view end) {
    size_t at = s.find(end, i);
    i = at == std::string_view::npos ? s.size() : at + end.size();
  };
  for (size_t i = 0; i < s.size();) {
    if (s[i] != '<') {
      i++;
      continue;
    }
    std::string_view rest = s.substr(i);
    if (rest.starts_with("<!--")) {
      skip_to(i, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skip_to(i, "]]>");
    } else if (rest.starts_with("<?")) {
      skip_to(i, "?>");
    } else if (rest.starts_with("<!") || rest.starts_with("</")) {
      if (rest[1] == '/')
        depth--;
      skip_to(i, ">");
    } else {
      char quote = 0;
      size_t j = i + 1;
      for (; j < s.size(); j++) {
        if (quote) {
          if (s[j] == quote)
            quote = 0;
        } else if (s[j] == '"' || s[j] == '\'') {
          quote = s[j];
        } else if (s[j] == '>') {
          break;
        }
      }
      if (j >= s.size() || s[j - 1] != '/')
        deepest = std::max(deepest, ++depth);
      i = j + 1;
    }
  }
  return deepest;
}

vec3 unit(const ::urdf::Vector3& v)
{
  double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
  return {v.x / n, v.y / n, v.z / n};
}

ur_kind kind_of(int t)
{
  switch (t) {
    case ::urdf::Joint::FIXED:
      return ur_kind::fixed;
    case ::urdf::Joint::REVOLUTE:
      return ur_kind::revolute;
    case ::urdf::Joint::CONTINUOUS:
      return ur_kind::continuous;
    case ::urdf::Joint::PRISMATIC:
      return ur_kind::prismatic;
    default:
      return ur_kind::other;
  }
}

bool moves(ur_kind k)
{
  return k == ur_kind::revolute || k == ur_kind::continuous || k == ur_kind::prismatic;
}

}  // namespace

pose ur_compose(const pose& a, const pose& b)
{
  const quat &p = a.r, &q = b.r;
  quat r{p.w * q.x + p.x * q.w + p.y * q.z - p.z * q.y, p.w * q.y - p.x * q.z + p.y * q.w + p.z * q.x,
         p.w * q.z + p.x * q.y - p.y * q.x + p.z * q.w, p.w * q.w - p.x * q.x - p.y * q.y - p.z * q.z};
  vec3 t = ur_apply(a, b.t);
  return {t, r};
}

vec3 ur_apply(const pose& p, const vec3& v)
{
  // v + 2w(u x v) + 2u x (u x v), with u the quaternion's vector part
  const quat& q = p.r;
  vec3 c{q.y * v.z - q.z * v.y, q.z * v.x - q.x * v.z, q.x * v.y - q.y * v.x};
  vec3 cc{q.y * c.z - q.z * c.y, q.z * c.x - q.x * c.z, q.x * c.y - q.y * c.x};
  return {v.x + 2 * (q.w * c.x + cc.x) + p.t.x, v.y + 2 * (q.w * c.y + cc.y) + p.t.y,
          v.z + 2 * (q.w * c.z + cc.z) + p.t.z};
}

quat ur_axis_angle(const vec3& a, double rad)
{
  double s = std::sin(rad / 2);
  return {a.x * s, a.y * s, a.z * s, std::cos(rad / 2)};
}

ur_model ur_model::parse(std::string_view xml, const std::string& source)
{
  auto fail = [&](const std::string& why) { return ur_error(source + ": " + why); };
  if (xml.size() > UR_MAX_BYTES)
    throw fail("larger than " + std::to_string(UR_MAX_BYTES >> 10) + " KiB; a description " +
               "drawn with primitive shapes is a few KiB");
  if (nesting(xml) > UR_MAX_DEPTH)
    throw fail("elements nest deeper than " + std::to_string(UR_MAX_DEPTH) + " levels");

  ::urdf::ModelInterfaceSharedPtr m;
  std::string why;
  {
    std::lock_guard<std::mutex> l(parser_lock);
    error_catcher catcher;
    console_bridge::useOutputHandler(&catcher);
    try {
      m = ::urdf::parseURDF(std::string(xml));
    } catch (const std::exception& e) {
      catcher.first = e.what();
    }
    console_bridge::restorePreviousOutputHandler();
    why = catcher.first;
  }
  if (!m || !m->getRoot())
    throw fail(why.empty() ? "not a robot description" : why);

  ur_model out;
  out.name_ = m->getName();
  out.text_ = std::string(xml);
  // Breadth first from the root, so that a joint's parent link always has its pose already.
  std::deque<std::pair<::urdf::LinkConstSharedPtr, size_t>> todo{{m->getRoot(), 0}};
  while (!todo.empty()) {
    auto [link, parent] = todo.front();
    todo.pop_front();
    size_t index = out.links_.size();
    if (index >= UR_MAX_LINKS)
      throw fail("more than " + std::to_string(UR_MAX_LINKS) + " links");
    out.links_.push_back(link->name);
    if (const auto& j = link->parent_joint; j && index > 0) {
      ur_joint uj;
      uj.name = j->name;
      uj.parent = j->parent_link_name;
      uj.child = j->child_link_name;
      uj.kind = kind_of(j->type);
      const ::urdf::Pose& o = j->parent_to_joint_origin_transform;
      uj.origin = {{o.position.x, o.position.y, o.position.z},
                   {o.rotation.x, o.rotation.y, o.rotation.z, o.rotation.w}};
      if (moves(uj.kind)) {
        if (j->axis.x == 0 && j->axis.y == 0 && j->axis.z == 0)
          throw fail("joint " + j->name + ": its axis is 0 0 0");
        uj.axis = unit(j->axis);
      }
      if (j->limits && (uj.kind == ur_kind::revolute || uj.kind == ur_kind::prismatic)) {
        uj.limited = true;
        uj.lower = j->limits->lower;
        uj.upper = j->limits->upper;
      }
      if (j->mimic && !j->mimic->joint_name.empty()) {
        uj.mimic = j->mimic->joint_name;
        uj.multiplier = j->mimic->multiplier;
        uj.offset = j->mimic->offset;
      }
      out.joints_.push_back(std::move(uj));
      out.parent_.push_back(parent);
    }
    for (const ::urdf::LinkSharedPtr& child : link->child_links)
      todo.emplace_back(child, index);
  }
  for (const ur_joint& j : out.joints_) {
    if (j.mimic.empty())
      continue;
    const ur_joint* leader = out.joint(j.mimic);
    if (!leader)
      throw fail("joint " + j.name + " mimics " + j.mimic + ", which is no joint here");
    if (!leader->mimic.empty())
      throw fail("joint " + j.name + " mimics " + j.mimic + ", which mimics another joint itself");
  }
  return out;
}

ur_model ur_model::load(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  if (!f)
    throw ur_error(path + ": cannot read the file");
  std::string text(UR_MAX_BYTES + 1, '\0');
  f.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (f.bad())
    throw ur_error(path + ": cannot read the file");
  text.resize(static_cast<size_t>(f.gcount()));
  return parse(text, path);
}

const ur_joint* ur_model::joint(std::string_view name) const
{
  for (const ur_joint& j : joints_)
    if (j.name == name)
      return &j;
  return nullptr;
}

std::vector<pose> ur_model::joint_poses(const ur_positions& q) const
{
  auto at = [&](const std::string& name) {
    auto it = q.find(name);
    return it == q.end() ? 0.0 : it->second;
  };
  std::vector<pose> out;
  out.reserve(joints_.size());
  for (const ur_joint& j : joints_) {
    double v = j.mimic.empty() ? at(j.name) : j.multiplier * at(j.mimic) + j.offset;
    pose motion;
    if (j.kind == ur_kind::revolute || j.kind == ur_kind::continuous)
      motion.r = ur_axis_angle(j.axis, v);
    else if (j.kind == ur_kind::prismatic)
      motion.t = {j.axis.x * v, j.axis.y * v, j.axis.z * v};
    out.push_back(ur_compose(j.origin, motion));
  }
  return out;
}

std::vector<pose> ur_model::link_poses(const ur_positions& q) const
{
  std::vector<pose> rel = joint_poses(q);
  std::vector<pose> out(links_.size());
  for (size_t i = 0; i < joints_.size(); i++)
    out[i + 1] = ur_compose(out[parent_[i]], rel[i]);
  return out;
}

double ur_position(const ur_joint& j, double joint_deg)
{
  return j.kind == ur_kind::prismatic ? joint_deg / 1000.0 : joint_deg * std::numbers::pi / 180.0;
}

}  // namespace orvane::urdf

#include "host/web/motions.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "host/motion/limits.h"
#include "host/motion/play.h"
#include "host/motion/profile.h"
#include "host/web/joints.h"
#include "host/web/plan.h"

namespace fs = std::filesystem;
namespace mo = orvane::motion;

struct web_motions::impl {
  fs::path dir;
  fs::path profile_file;  // canonical, so that the listing can leave it out
  mo::profile profile;
};

namespace {

constexpr size_t max_listed = 200;  // a folder of thousands would make a page unusable anyway

bool is_motion_file(const fs::path& p)
{
  return p.extension() == ".yaml" || p.extension() == ".yml";
}

std::string one_line(const mo::mo_errors& e)
{
  if (e.list.empty())
    return e.what();
  std::string s = e.list.front();
  if (e.list.size() > 1)
    s += " (and " + std::to_string(e.list.size() - 1) + " more)";
  return s;
}

}  // namespace

web_motions::web_motions(const std::string& dir, const std::string& profile)
{
  auto m = std::make_shared<impl>();
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    throw std::runtime_error("--motions " + dir + ": not a folder that can be read");
  m->dir = dir;
  if (profile.empty()) {
    m->profile = mo::profile_none();
  } else {
    try {
      m->profile = mo::profile_load(profile);
    } catch (const mo::mo_errors& e) {
      std::string all = "--profile " + profile + ":";
      for (const std::string& line : e.list)
        all += "\n  " + line;
      throw std::runtime_error(e.list.empty() ? all + " " + e.what() : all);
    }
    m->profile_file = fs::weakly_canonical(profile, ec);
  }
  impl_ = std::move(m);
}

bool web_motions::built()
{
  return true;
}

bool web_motions::good_name(const std::string& name)
{
  return !name.empty() && name.size() <= 255 && name.front() != '.' &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos &&
         is_motion_file(name);
}

std::vector<web_motion_info> web_motions::list() const
{
  std::vector<web_motion_info> out;
  if (!impl_)
    return out;
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::directory_iterator(impl_->dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const fs::path& p = it->path();
    if (good_name(p.filename()) && it->is_regular_file(ec) &&
        fs::weakly_canonical(p, ec) != impl_->profile_file)
      files.push_back(p);
  }
  std::sort(files.begin(), files.end());
  if (files.size() > max_listed)
    files.resize(max_listed);
  for (const fs::path& p : files) {
    web_motion_info info;
    info.name = p.filename();
    try {
      mo::motion m = mo::motion_load(p, impl_->profile);
      mo::plan_opts usual;
      double ticks = 0;
      for (const mo::keyframe& k : m.frames)
        ticks += mo::frame_ticks(k, usual);
      info.description = m.description;
      info.seconds = ticks * m.repeat * usual.tick_us / 1e6;
      mo::limit_check(m, impl_->profile, usual, {});  // from rest; play checks from where the robot is
    } catch (const mo::mo_errors& e) {
      info.problem = one_line(e);
    }
    out.push_back(std::move(info));
  }
  return out;
}

bool web_motions::play(orvane::client& c, const std::string& name, const std::atomic<bool>& stop,
                       const events& ev) const
{
  if (!impl_ || !good_name(name))
    throw std::runtime_error("no motion named " + name);
  mo::motion m;
  try {
    m = mo::motion_load(impl_->dir / name, impl_->profile);
  } catch (const mo::mo_errors& e) {
    throw std::runtime_error(one_line(e));
  }
  int32_t tick_us = c.tick_us();
  try {  // a motion too fast for the profile's speed limits is refused, as orvane-ctl play does
    mo::limit_check(m, impl_->profile, {tick_us}, mo::play_outputs(c));
  } catch (const mo::mo_errors& e) {
    throw std::runtime_error(one_line(e));
  }
  mo::play_opts o;
  o.stop = &stop;
  o.on_move = [&](size_t i, size_t n, const mo::mo_move&) { ev.move(i, n); };
  o.on_start = [&](const std::vector<mo::mo_span>& spans, const mo::mo_outputs& start, uint32_t first) {
    if (ev.plan)
      ev.plan(web_plan_json(spans, start, first, tick_us, ev.serial));
  };
  ev.start(mo::play_warnings(c, m));
  return !mo::play(c, m, o).stopped;
}

std::string web_motions::preview(const std::string& name, const std::vector<std::pair<int, int>>& goals,
                                 int32_t tick_us) const
{
  std::error_code ec;
  if (!impl_ || !good_name(name) || !fs::is_regular_file(impl_->dir / name, ec))
    throw std::invalid_argument("no motion named " + name);
  mo::motion m;
  mo::mo_outputs start{};
  for (auto [id, units] : goals)
    if (id >= 1 && id <= mo::MO_MAX_ID)
      start[static_cast<size_t>(id)] = static_cast<int16_t>(units);
  mo::plan_opts o;
  if (tick_us > 0)
    o.tick_us = tick_us;
  try {
    m = mo::motion_load(impl_->dir / name, impl_->profile);
    return web_plan_json(mo::plan_spans(m, o, start), start, 0, o.tick_us, 0);
  } catch (const mo::mo_errors& e) {
    throw std::runtime_error(one_line(e));
  }
}

web_joints web_joints_load(const std::string& path)
{
  mo::profile p;
  try {
    p = mo::profile_load(path);
  } catch (const mo::mo_errors& e) {
    std::string all = "--profile " + path + ":";
    for (const std::string& line : e.list)
      all += "\n  " + line;
    throw std::runtime_error(all);
  }
  web_joints js;
  for (const mo::joint& j : p.joints) {
    double a = mo::joint_servo_deg(j, j.min), b = mo::joint_servo_deg(j, j.max);
    js.push_back({j.id, j.name, std::max(std::min(a, b), -mo::MO_DEG_LIMIT),
                  std::min(std::max(a, b), mo::MO_DEG_LIMIT), j.trim, j.reverse, j.speed});
  }
  return js;
}

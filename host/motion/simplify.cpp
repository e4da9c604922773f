#include "host/motion/simplify.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <sstream>

namespace orvane::motion {

namespace {

std::vector<std::string> cells(const std::string& line)
{
  std::vector<std::string> out;
  std::string c;
  std::istringstream in(line);
  while (std::getline(in, c, ','))
    out.push_back(c);
  if (!line.empty() && line.back() == ',')
    out.emplace_back();
  return out;
}

}  // namespace

// Ramer-Douglas-Peucker on a common time axis, with an explicit stack: a recording of an hour
// has 216000 rows and would nest that deep in the worst case.
std::vector<size_t> simplify_points(const std::vector<double>& t, const std::vector<std::vector<double>>& x,
                                    double tolerance)
{
  size_t n = t.size();
  if (n < 3) {
    std::vector<size_t> all;
    for (size_t i = 0; i < n; i++)
      all.push_back(i);
    return all;
  }
  std::vector<bool> keep(n, false);
  keep[0] = keep[n - 1] = true;
  std::vector<std::pair<size_t, size_t>> todo{{0, n - 1}};
  while (!todo.empty()) {
    auto [a, b] = todo.back();
    todo.pop_back();
    double worst = -1;
    size_t at = a;
    for (size_t i = a + 1; i < b; i++) {
      double f = (t[i] - t[a]) / (t[b] - t[a]);
      for (const auto& xs : x) {
        double d = std::fabs(xs[i] - (xs[a] + (xs[b] - xs[a]) * f));
        if (d > worst) {
          worst = d;
          at = i;
        }
      }
    }
    if (worst > tolerance) {
      keep[at] = true;
      todo.push_back({a, at});
      todo.push_back({at, b});
    }
  }
  std::vector<size_t> out;
  for (size_t i = 0; i < n; i++)
    if (keep[i])
      out.push_back(i);
  return out;
}

motion recording_motion(const std::string& csv, const std::string& file, const profile& p,
                        const simplify_opts& o, std::vector<std::string>& notes)
{
  std::istringstream in(csv);
  std::string line;
  std::vector<std::string> head;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') {
      head = cells(line);
      break;
    }
  auto col = [&](const std::string& name) { return std::find(head.begin(), head.end(), name) - head.begin(); };
  size_t lc = static_cast<size_t>(col("loop_count"));
  if (lc == head.size())
    throw mo_errors({file + ": not a recording of orvane-ctl record (no loop_count column)"});
  struct track {
    const joint* j;
    size_t col;
    std::vector<std::optional<double>> v;
  };
  std::vector<track> tracks;
  for (size_t i = 0; i < head.size(); i++)
    if (head[i].rfind("sv_pos.", 0) == 0) {
      auto id = static_cast<int>(std::strtol(head[i].c_str() + 7, nullptr, 10));
      if (const joint* j = p.by_id(id))
        tracks.push_back({j, i, {}});
      else
        notes.push_back("servo " + std::to_string(id) + " is no joint of " + p.file + ": left out");
    }
  std::vector<double> t;
  double first = 0;
  for (int row = 2; std::getline(in, line); row++) {
    if (line.empty() || line[0] == '#')
      continue;
    std::vector<std::string> c = cells(line);
    if (c.size() != head.size())
      throw mo_errors({file + ":" + std::to_string(row) + ": " + std::to_string(c.size()) + " cells, the header has " +
                       std::to_string(head.size())});
    double l = std::strtod(c[lc].c_str(), nullptr);
    if (t.empty())
      first = l;
    t.push_back(l - first);
    for (track& tr : tracks)
      tr.v.push_back(c[tr.col].empty() ? std::nullopt : std::optional<double>(std::strtod(c[tr.col].c_str(), nullptr)));
  }
  // A missing reading takes the one before it (or the first there is); a joint never read is
  // left out, never written as a number.
  std::vector<std::vector<double>> x;
  std::vector<const joint*> js;
  for (track& tr : tracks) {
    auto valid = std::find_if(tr.v.begin(), tr.v.end(), [](auto& v) { return v.has_value(); });
    if (valid == tr.v.end()) {
      notes.push_back("no reading of " + tr.j->name + " (servo " + std::to_string(tr.j->id) + "): left out");
      continue;
    }
    double last = **valid;
    std::vector<double> xs;
    for (auto& v : tr.v) {
      last = v.value_or(last);
      xs.push_back(joint_deg(*tr.j, static_cast<int16_t>(std::lround(last * 10))));
    }
    x.push_back(std::move(xs));
    js.push_back(tr.j);
  }
  if (js.empty() || t.empty())
    throw mo_errors({file + ": no positions to make a motion of (record servos in an enabled read group)"});

  motion m;
  m.file = file;
  m.description = "from the recording " + file;
  // The keyframes' angles are rounded to 0.1 degree: leave room for that.
  std::vector<size_t> keep = simplify_points(t, x, std::max(0.05, o.tolerance - 0.05));
  std::vector<bool> held(js.size(), false);
  for (size_t k = 0; k < keep.size(); k++) {
    keyframe kf;
    size_t i = keep[k];
    if (k == 0) {
      kf.amount = o.lead_ms;
      for (const joint* j : js)
        kf.torque.emplace_back(j->name, MO_TORQUE_ON);
    } else {
      kf.in_ticks = true;
      kf.amount = std::max(1.0, t[i] - t[keep[k - 1]]);
    }
    for (size_t n = 0; n < js.size(); n++) {
      double d = std::round(x[n][i] * 10) / 10;
      if (d < js[n]->min || d > js[n]->max) {
        d = std::clamp(d, js[n]->min, js[n]->max);
        if (!held[n])
          notes.push_back(js[n]->name + " went beyond its limits: held at " + fmt_deg(d));
        held[n] = true;
      }
      kf.pose.emplace_back(js[n]->name, d);
    }
    m.frames.push_back(std::move(kf));
  }
  return m;
}

}  // namespace orvane::motion

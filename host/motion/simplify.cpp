#include "host/motion/simplify.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "host/motion/fit.h"

namespace orvane::motion {

namespace {

// The largest position a recording can hold: sv_pos is a 16-bit count of 0.1 degree, and its
// lowest value (0x8000) stands for no reading, which record writes as an empty cell.
constexpr double REC_POS_MAX = 3276.7;
// Passes a position may go unread while its servo moves: each read group is read in turn, once
// a servo cycle, and a loaded board drops cycles (runs of 5 equal readings on orvane-sim's two
// groups at a load of 10 on 2 cores).
constexpr int64_t REC_STALE_TICKS = 8;

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

std::string trimmed(const std::string& s)
{
  size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// A whole cell as a finite number, or nothing: "abc", "12x", "nan" and "inf" are not numbers.
std::optional<double> number(const std::string& cell)
{
  std::string s = trimmed(cell);
  if (s.empty())
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v) || errno == ERANGE)
    return std::nullopt;
  return v;
}

// A pass count: digits only, within 32 bits.
std::optional<int64_t> pass_count(const std::string& cell)
{
  std::string s = trimmed(cell);
  if (s.empty() || s.size() > 10 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  int64_t v = std::stoll(s);
  return v <= 0xFFFFFFFFLL ? std::optional<int64_t>(v) : std::nullopt;
}

// A servo id after "sv_pos.", digits only.
int column_id(const std::string& head)
{
  std::string s = head.substr(7);
  if (s.empty() || s.size() > 2 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return std::stoi(s);
}

// The joint angles a joint can be given: its soft limits, within its servo's own range.
std::pair<double, double> joint_range(const joint& j)
{
  double lo = j.reverse ? j.trim - MO_DEG_LIMIT : -MO_DEG_LIMIT - j.trim;
  double hi = j.reverse ? j.trim + MO_DEG_LIMIT : MO_DEG_LIMIT - j.trim;
  return {std::max(lo, j.min), std::min(hi, j.max)};
}

struct track {
  const joint* j;
  size_t col;
  std::vector<std::optional<double>> deg;  // joint degrees, held within the joint's range
  size_t bad = 0;                          // cells that were not numbers
  int first_bad = 0;                       // and the line of the first
  std::string bad_cell;
  bool held = false;
};

}  // namespace

recorded_motion recording_motion(const std::string& csv, const std::string& file, const profile& p,
                                 const simplify_opts& o, std::vector<std::string>& notes)
{
  std::istringstream in(csv);
  std::string line;
  std::vector<std::string> head;
  int row = 0;
  while (std::getline(in, line)) {
    row++;
    if (!line.empty() && line[0] != '#') {
      head = cells(line);
      break;
    }
  }
  for (std::string& h : head)
    h = trimmed(h);
  auto lc = static_cast<size_t>(std::find(head.begin(), head.end(), "loop_count") - head.begin());
  if (lc == head.size())
    throw mo_errors({file + ": not a recording of orvane-ctl record (no loop_count column)"});
  std::vector<track> tracks;
  for (size_t i = 0; i < head.size(); i++)
    if (head[i].rfind("sv_pos.", 0) == 0) {
      int id = column_id(head[i]);
      const joint* j = p.by_id(id);
      if (!j)
        notes.push_back(head[i] + " is no joint of " + (p.file.empty() ? "the servo ids 1..32" : p.file) + ": left out");
      else if (std::any_of(tracks.begin(), tracks.end(), [&](const track& t) { return t.j == j; }))
        notes.push_back(head[i] + " comes twice: the second column is left out");
      else
        tracks.push_back({j, i, {}, 0, 0, {}, false});
    }

  fit_input fi;
  int64_t first = 0, last = -1;
  while (std::getline(in, line)) {
    row++;
    if (line.empty() || line[0] == '#')
      continue;
    std::vector<std::string> c = cells(line);
    std::string at = file + ":" + std::to_string(row) + ": ";
    if (c.size() != head.size())
      throw mo_errors({at + std::to_string(c.size()) + " cells, the header has " + std::to_string(head.size())});
    std::optional<int64_t> l = pass_count(c[lc]);
    if (!l)
      throw mo_errors({at + "loop_count '" + c[lc].substr(0, 20) + "' is not a pass count"});
    if (fi.t.empty())
      first = *l;
    else if (*l <= last)
      throw mo_errors({at + "loop_count " + std::to_string(*l) + " does not come after " + std::to_string(last)});
    last = *l;
    fi.t.push_back(*l - first);
    for (track& tr : tracks) {
      const std::string& cell = c[tr.col];
      std::optional<double> v = number(cell);
      if (!v && !trimmed(cell).empty() && tr.bad++ == 0) {
        tr.first_bad = row;
        tr.bad_cell = cell.substr(0, 20);
      }
      if (v && std::fabs(*v) > REC_POS_MAX)
        throw mo_errors({at + head[tr.col] + ": " + trimmed(cell).substr(0, 20) +
                         " degrees is no servo position (a recording holds -3276.7..3276.7)"});
      if (v) {
        double deg = tr.j->reverse ? tr.j->trim - *v : *v - tr.j->trim;
        auto [lo, hi] = joint_range(*tr.j);
        if (deg < lo || deg > hi) {
          deg = std::clamp(deg, lo, hi);
          if (!tr.held)
            notes.push_back(tr.j->name + " went beyond its limits: held at " + fmt_deg(deg));
          tr.held = true;
        }
        v = deg;
      }
      tr.deg.push_back(v);
    }
  }

  // Rows where some servo gave no reading, counted up to each row.
  std::vector<size_t> silent_upto;
  for (size_t i = 0, n = 0; i < fi.t.size(); i++) {
    n += std::any_of(tracks.begin(), tracks.end(), [&](const track& tr) {
      bool read = std::any_of(tr.deg.begin(), tr.deg.end(), [](auto& v) { return v.has_value(); });
      return read && i < tr.deg.size() && !tr.deg[i];
    });
    silent_upto.push_back(n);
  }

  // A joint never read is left out, never written as a number.
  std::vector<const joint*> js;
  for (track& tr : tracks) {
    if (tr.bad)
      notes.push_back(head[tr.col] + ": " + std::to_string(tr.bad) + (tr.bad == 1 ? " cell is" : " cells are") +
                      " not a number (line " + std::to_string(tr.first_bad) + ": '" + tr.bad_cell +
                      "'): no reading there");
    if (std::none_of(tr.deg.begin(), tr.deg.end(), [](auto& v) { return v.has_value(); })) {
      notes.push_back("no reading of " + tr.j->name + " (servo " + std::to_string(tr.j->id) + "): left out");
      continue;
    }
    fit_track ft;
    ft.ch = static_cast<uint8_t>(mo_goal_ch(tr.j->id));
    int64_t run = -1;  // the row where the value last changed
    for (size_t i = 0; i < tr.deg.size(); i++) {
      const auto& v = tr.deg[i];
      int16_t u = v ? joint_units(*tr.j, *v) : int16_t{0};
      bool same = v && run >= 0 && u == ft.v[static_cast<size_t>(run)];
      if (v && !same)
        run = static_cast<int64_t>(i);
      // A value repeated within a read cycle is most likely the old reading, not a new one:
      // counted, it would pin the curve to a staircase a servo never drew.
      // So is one repeated while any servo had no reading since it changed: the servos after a
      // silent one in its read group are not asked, and keep their old positions for as long.
      bool quiet = run >= 0 && silent_upto[i] > (run > 0 ? silent_upto[static_cast<size_t>(run) - 1] : 0);
      bool current = v && (!same || (fi.t[i] - fi.t[static_cast<size_t>(run)] > REC_STALE_TICKS && !quiet));
      ft.have.push_back(current);
      ft.v.push_back(v ? u : (run >= 0 ? ft.v[static_cast<size_t>(run)] : int16_t{0}));
    }
    fi.tracks.push_back(std::move(ft));
    js.push_back(tr.j);
  }
  if (js.empty() || fi.t.empty())
    throw mo_errors({file + ": no positions to make a motion of (record servos in an enabled read group)"});

  // The fit works in the servos' 0.1-degree units, as the interpolator does.
  fit_result fit = fit_keyframes(fi, o.tolerance * 10, o.seg);
  auto pose = [&](size_t i) {
    std::vector<int16_t> u = fit_pose(fi, i);
    std::vector<std::pair<std::string, double>> out;
    for (size_t n = 0; n < js.size(); n++)
      out.emplace_back(js[n]->name, joint_deg(*js[n], u[n]));
    return out;
  };
  recorded_motion r;
  motion& m = r.m;
  m.file = file;
  m.description = "from the recording " + file;
  // The file's ease is the one most keyframes have; the others name theirs.
  size_t used[3] = {0, 0, 0};
  for (mo_ease e : fit.eases)
    used[static_cast<size_t>(e)]++;
  for (mo_ease e : {mo_ease::smooth, mo_ease::spline})
    if (used[static_cast<size_t>(e)] > used[static_cast<size_t>(m.ease)])
      m.ease = e;
  keyframe lead;  // from wherever the robot is, at rest at both ends
  lead.amount = o.lead_ms;
  lead.ease = mo_ease::smooth;
  lead.pose = pose(fit.keys.front());
  for (const joint* j : js)
    lead.torque.emplace_back(j->name, MO_TORQUE_ON);
  m.frames.push_back(std::move(lead));
  for (size_t k = 0; k + 1 < fit.keys.size(); k++) {
    keyframe kf;
    kf.in_ticks = true;
    kf.amount = double(fi.t[fit.keys[k + 1]] - fi.t[fit.keys[k]]);
    kf.ease = fit.eases[k];
    kf.pose = pose(fit.keys[k + 1]);
    m.frames.push_back(std::move(kf));
  }

  // What is written is what is measured: the file as read back, planned from the first pose.
  motion back = motion_parse(motion_text(m), file, p);
  plan_opts po;
  po.seg = o.seg;
  mo_outputs start{};
  for (const mo_target& t : back.frames.front().targets)
    start[t.ch] = t.value;
  std::vector<mo_move> moves = plan(back, po, start);
  r.worst = fit_deviation(fi, moves, start, frame_ticks(back.frames.front(), po)) / 10.0;
  return r;
}

}  // namespace orvane::motion

#include "host/motion/preview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvane::motion {

namespace {

double units_deg(const joint& j, double units)
{
  double d = units / 10.0 - j.trim;
  return j.reverse ? -d : d;
}

std::string num(double v, const char* f = "%.2f")
{
  char b[32];
  if (std::fabs(v) < 0.005)
    v = 0;  // no "-0.00"
  snprintf(b, sizeof b, f, v);
  return b;
}

}  // namespace

std::string joint_line(const joint& j)
{
  return "# joint," + j.name + "," + std::to_string(j.id) + "," + fmt_deg(j.min) + "," + fmt_deg(j.max) + "," +
         fmt_deg(j.trim) + "," + (j.reverse ? "1" : "0") + "\n";
}

std::string preview_csv(const motion& m, const profile& p, const plan_opts& o, const mo_outputs& start)
{
  std::vector<mo_span> spans = plan_spans(m, o, start);
  std::vector<mo_move> moves = plan(spans, o.seg);
  std::vector<const joint*> js;
  for (const mo_span& s : spans)
    for (const mo_path& path : s.paths)
      if (const joint* j = path.ch >= 1 && path.ch <= MO_MAX_ID ? p.by_id(path.ch) : nullptr)
        if (std::find(js.begin(), js.end(), j) == js.end())
          js.push_back(j);
  std::sort(js.begin(), js.end(), [](auto a, auto b) { return a->id < b->id; });

  std::string out;
  for (const joint* j : js)
    out += joint_line(*j);
  for (const mo_span& s : spans)
    out += "# keyframe," + std::to_string(s.frame + 1) + "," + std::to_string(m.frames[s.frame].line) + "," +
           std::to_string(s.t0 + s.ticks) + "," + ease_name(s.ease) + "\n";
  out += "tick,time_s";
  std::vector<std::vector<int16_t>> goals;
  std::vector<double> cur;
  for (const joint* j : js) {
    out += "," + j->name + ".curve," + j->name + ".goal";
    goals.push_back(plan_outputs(moves, start[static_cast<size_t>(j->id)], static_cast<uint8_t>(j->id)));
    cur.push_back(start[static_cast<size_t>(j->id)]);
  }
  out += "\n";
  auto row = [&](unsigned t) {
    out += std::to_string(t) + "," + num(t * (o.tick_us / 1e6), "%.4f");
    for (size_t i = 0; i < js.size(); i++)
      out += "," + num(units_deg(*js[i], cur[i])) + "," +
             num(units_deg(*js[i], t ? goals[i][t - 1] : start[static_cast<size_t>(js[i]->id)]));
    out += "\n";
  };
  row(0);
  for (const mo_span& s : spans)
    for (unsigned k = 1; k <= s.ticks; k++) {
      for (size_t i = 0; i < js.size(); i++)
        for (const mo_path& path : s.paths)
          if (path.ch == js[i]->id)
            cur[i] = path_at(path, s.ticks, k);
      row(s.t0 + k);
    }
  return out;
}

}  // namespace orvane::motion

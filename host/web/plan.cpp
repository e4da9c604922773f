#include "host/web/plan.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace mo = orvane::motion;

namespace {

double hundredths(double d) { return std::round(d * 100.0) / 100.0; }

}  // namespace

std::string web_plan_json(const std::vector<mo::mo_span>& spans, const mo::mo_outputs& start,
                          uint32_t first_pass, int32_t tick_us, uint64_t serial,
                          const orvane::robot_model& model, size_t points)
{
  std::vector<uint8_t> chans;
  for (const mo::mo_span& s : spans)
    for (const mo::mo_path& p : s.paths)
      if (p.ch >= 1 && p.ch <= mo::MO_MAX_ID && std::find(chans.begin(), chans.end(), p.ch) == chans.end())
        chans.push_back(p.ch);
  std::sort(chans.begin(), chans.end());
  unsigned ticks = spans.empty() ? 0 : spans.back().t0 + spans.back().ticks;
  size_t per = std::max<size_t>(points / std::max<size_t>(chans.size(), 1), 2);
  auto every = static_cast<unsigned>(std::max<size_t>(1, (size_t{ticks} + per - 2) / (per - 1)));

  nlohmann::json joints = nlohmann::json::array();
  for (uint8_t ch : chans) {
    // 0.1 servo degrees to the degrees shown next to the row's name, to 0.01.
    const orvane::joint* j = model.named(ch);
    auto deg = [j](double units) {
      return hundredths(j ? orvane::joint_degrees(*j, units / 10.0) + 0.0 : units / 10.0);
    };
    nlohmann::json v = nlohmann::json::array(), keys = nlohmann::json::array();
    double at = start[ch];
    v.push_back(deg(at));
    // The value at each tick is the path's in the span that holds it; a span that leaves this
    // channel out holds it where it is.
    for (const mo::mo_span& s : spans) {
      const mo::mo_path* p = nullptr;
      for (const mo::mo_path& x : s.paths)
        if (x.ch == ch)
          p = &x;
      for (unsigned k = 1; k <= s.ticks; k++) {
        unsigned t = s.t0 + k;
        if (t % every != 0 && t != ticks)
          continue;
        if (p)
          at = k == s.ticks ? p->to : mo::path_at(*p, s.ticks, k);
        v.push_back(deg(at));
      }
      if (p) {
        at = p->to;
        keys.push_back({s.t0 + s.ticks, deg(p->to)});
      }
    }
    joints.push_back({{"id", ch}, {"v", std::move(v)}, {"keys", std::move(keys)}});
  }
  nlohmann::json j = {{"serial", serial}, {"first_pass", first_pass}, {"tick_period", tick_us},
                      {"ticks", ticks},   {"every", every},           {"joints", std::move(joints)}};
  return j.dump();
}

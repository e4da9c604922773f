#include "host/motion/plan.h"

#include <algorithm>
#include <cmath>

namespace orvane::motion {

std::vector<mo_move> plan(const std::vector<mo_span>& spans, unsigned seg)
{
  size_t count = 0;
  for (const mo_span& s : spans)
    count += span_moves(s.ease, s.ticks, seg);
  std::vector<mo_move> moves;
  moves.reserve(count);
  for (const mo_span& s : spans) {
    unsigned parts = span_moves(s.ease, s.ticks, seg);
    unsigned done = 0;
    for (unsigned p = 1; p <= parts; p++) {
      mo_move mv;
      unsigned until = static_cast<unsigned>(uint64_t{s.ticks} * p / parts);
      mv.ticks = until - done;
      done = until;
      mv.frame = s.frame;
      mv.rep = s.rep;
      mv.part = p;
      mv.parts = parts;
      for (const mo_path& path : s.paths) {
        double at = p == parts ? path.to : path_at(path, s.ticks, until);
        mv.targets.push_back({path.ch, static_cast<int16_t>(std::lround(at))});
      }
      moves.push_back(std::move(mv));
    }
  }
  return moves;
}

std::vector<mo_move> plan(const motion& m, const plan_opts& o, const mo_outputs& start)
{
  return plan(plan_spans(m, o, start), o.seg);
}

// The interpolator's own arithmetic: 8 fraction bits, a step truncated toward zero, the last
// step landing on the target, and the output the floor of the position.
std::vector<int16_t> plan_outputs(const std::vector<mo_move>& moves, int16_t start, uint8_t ch)
{
  std::vector<int16_t> out;
  int32_t cpos = start * 256;
  for (const mo_move& mv : moves) {
    auto t = std::find_if(mv.targets.begin(), mv.targets.end(), [&](const mo_target& x) { return x.ch == ch; });
    int32_t tpos = t == mv.targets.end() ? cpos : t->value * 256;
    int32_t spd = (tpos - cpos) / static_cast<int32_t>(mv.ticks);
    for (unsigned i = 1; i <= mv.ticks; i++) {
      cpos = i == mv.ticks ? tpos : cpos + spd;
      out.push_back(static_cast<int16_t>(cpos >> 8));
    }
  }
  return out;
}

unsigned plan_ticks(const std::vector<mo_move>& moves)
{
  unsigned n = 0;
  for (const mo_move& mv : moves)
    n += mv.ticks;
  return n;
}

std::string ch_name(unsigned ch)
{
  if (ch >= 1 && ch <= 32)
    return "servo." + std::to_string(ch) + ".goal";
  if (ch >= 33 && ch <= 64)
    return "servo." + std::to_string(ch - 32) + ".torque";
  if (ch >= 64 && ch < 80)
    return std::string("led.") + (ch < 72 ? "a." : "b.") + std::to_string((ch - 64) % 8);
  return "ip." + std::to_string(ch);
}

std::string move_line(const motion& m, const mo_move& mv)
{
  std::string s = "keyframe " + std::to_string(mv.frame + 1);
  if (mv.parts > 1)
    s += " part " + std::to_string(mv.part) + "/" + std::to_string(mv.parts);
  if (mv.frame < m.frames.size() && m.frames[mv.frame].line > 0)
    s += " (line " + std::to_string(m.frames[mv.frame].line) + ")";
  if (mv.rep > 0)
    s += " repeat " + std::to_string(mv.rep + 1);
  s += "  " + std::to_string(mv.ticks) + " ticks ";
  for (const mo_target& t : mv.targets)
    s += " " + ch_name(t.ch) + "=" + std::to_string(t.value);
  return s;
}

}  // namespace orvane::motion

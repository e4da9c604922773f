#include "host/motion/plan.h"

#include <algorithm>
#include <cmath>

#include "orvane.h"

namespace orvane::motion {

unsigned frame_ticks(const keyframe& k, const plan_opts& o)
{
  double t = k.in_ticks ? k.amount : k.amount * 1000.0 / o.tick_us;
  return static_cast<unsigned>(std::max(1L, std::lround(t / o.speed)));
}

std::vector<mo_move> plan(const motion& m, const plan_opts& o, const mo_outputs& start)
{
  if (o.tick_us <= 0)
    throw mo_errors({"tick_period reads " + std::to_string(o.tick_us) + " us: cannot time the keyframes"});
  if (!(o.speed >= 0.01 && o.speed <= 100))
    throw mo_errors({"speed " + std::to_string(o.speed) + ": give a factor from 0.01 to 100"});
  unsigned reps = o.repeat ? o.repeat : m.repeat;
  size_t count = 0;
  for (const keyframe& k : m.frames)
    count += (frame_ticks(k, o) + MO_MAX_TTIME - 1) / MO_MAX_TTIME;
  if (count * reps > MO_MAX_MOVES)
    throw mo_errors({m.file + ": " + std::to_string(count * reps) + " moves at this tick period, speed and repeat; at most " +
                     std::to_string(MO_MAX_MOVES) + " are played"});

  // A keyframe with no pose holds every channel of the motion where it is, so that its time
  // is counted in passes like any other move.
  std::vector<uint8_t> used;
  for (const keyframe& k : m.frames)
    for (const mo_target& t : k.targets)
      if (std::find(used.begin(), used.end(), t.ch) == used.end())
        used.push_back(t.ch);
  if (used.empty())
    throw mo_errors({m.file + ": the motion names no joint"});

  std::vector<mo_move> moves;
  moves.reserve(count * reps);
  mo_outputs cur = start;
  for (unsigned rep = 0; rep < reps; rep++)
    for (size_t f = 0; f < m.frames.size(); f++) {
      std::vector<mo_target> targets = m.frames[f].targets;
      if (targets.empty())
        for (uint8_t ch : used)
          targets.push_back({ch, cur[ch]});
      unsigned total = frame_ticks(m.frames[f], o);
      move_split split{static_cast<int>(total)};
      auto parts = static_cast<unsigned>(split.parts());
      for (unsigned p = 1; p <= parts; p++) {
        mo_move mv;
        mv.ticks = static_cast<unsigned>(split.end_of(static_cast<int>(p)) - split.end_of(static_cast<int>(p) - 1));
        mv.frame = f;
        mv.rep = rep;
        mv.part = p;
        mv.parts = parts;
        for (const mo_target& t : targets)
          mv.targets.push_back({t.ch, split.target(cur[t.ch], t.value, static_cast<int>(p))});
        moves.push_back(std::move(mv));
      }
      for (const mo_target& t : targets)
        cur[t.ch] = t.value;
    }
  return moves;
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

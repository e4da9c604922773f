#include "host/motion/curve.h"

#include <algorithm>
#include <cmath>

#include "orvane.h"

namespace orvane::motion {

unsigned frame_ticks(const keyframe& k, const plan_opts& o)
{
  double t = k.in_ticks ? k.amount : k.amount * 1000.0 / o.tick_us;
  return static_cast<unsigned>(std::max(1L, std::lround(t / o.speed)));
}

unsigned span_moves(mo_ease e, unsigned ticks, unsigned seg)
{
  unsigned per = e == mo_ease::linear ? MO_MAX_TTIME : std::clamp(seg, 1u, MO_MAX_TTIME);
  return (ticks + per - 1) / per;
}

namespace {

bool goal_ch(uint8_t ch) { return ch >= 1 && ch <= MO_MAX_ID; }

const mo_path* find_path(const mo_span& s, uint8_t ch)
{
  for (const mo_path& p : s.paths)
    if (p.ch == ch)
      return &p;
  return nullptr;
}

// The slope at the pose between two spline spans: zero where the joint turns or stands, else
// the weighted harmonic mean of the two chords' slopes. This keeps the cubic within the two poses
// it joins on either side (no overshoot, so no limit can be passed), with a continuous speed.
double knot_slope(const mo_span& a, const mo_span& b, uint8_t ch)
{
  const mo_path* pa = find_path(a, ch);
  const mo_path* pb = find_path(b, ch);
  double da = pa ? (pa->to - pa->from) / a.ticks : 0;
  double db = pb ? (pb->to - pb->from) / b.ticks : 0;
  if (da * db <= 0)
    return 0;
  double w1 = 2.0 * b.ticks + a.ticks, w2 = b.ticks + 2.0 * a.ticks;
  return (w1 + w2) / (w1 / da + w2 / db);
}

// Fixed-up slopes of every spline path: where a spline span meets a span of another ease (or the
// motion's start or end), the joint is at rest.
void spline_slopes(std::vector<mo_span>& spans)
{
  for (size_t i = 0; i < spans.size(); i++) {
    mo_span& s = spans[i];
    if (s.ease != mo_ease::spline)
      continue;
    bool before = i > 0 && spans[i - 1].ease == mo_ease::spline;
    bool after = i + 1 < spans.size() && spans[i + 1].ease == mo_ease::spline;
    for (mo_path& p : s.paths) {
      if (p.ease != mo_ease::spline)
        continue;
      p.v0 = before ? knot_slope(spans[i - 1], s, p.ch) : 0;
      p.v1 = after ? knot_slope(s, spans[i + 1], p.ch) : 0;
    }
  }
}

}  // namespace

std::vector<mo_span> plan_spans(const motion& m, const plan_opts& o, const mo_outputs& start)
{
  if (o.tick_us < 1 || o.tick_us > orvane::tick_us_max)
    throw mo_errors({"tick period " + std::to_string(o.tick_us) + " us is not one the daemon runs at (1.." +
                     std::to_string(orvane::tick_us_max) + "): cannot time the keyframes"});
  if (!(o.speed >= 0.01 && o.speed <= 100))
    throw mo_errors({"speed " + std::to_string(o.speed) + ": give a factor from 0.01 to 100"});
  unsigned reps = o.repeat ? o.repeat : m.repeat;
  size_t count = 0;
  for (const keyframe& k : m.frames)
    count += span_moves(k.ease, frame_ticks(k, o), o.seg);
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

  std::vector<mo_span> spans;
  spans.reserve(m.frames.size() * reps);
  mo_outputs cur = start;
  unsigned t0 = 0;
  for (unsigned rep = 0; rep < reps; rep++)
    for (size_t f = 0; f < m.frames.size(); f++) {
      const keyframe& k = m.frames[f];
      mo_span s;
      s.frame = f;
      s.rep = rep;
      s.t0 = t0;
      s.ticks = frame_ticks(k, o);
      s.ease = k.ease;
      std::vector<mo_target> targets = k.targets;
      if (targets.empty())
        for (uint8_t ch : used)
          targets.push_back({ch, cur[ch]});
      for (const mo_target& t : targets) {
        s.paths.push_back({t.ch, goal_ch(t.ch) ? k.ease : mo_ease::linear, double(cur[t.ch]), double(t.value)});
        cur[t.ch] = t.value;
      }
      t0 += s.ticks;
      spans.push_back(std::move(s));
    }
  spline_slopes(spans);
  return spans;
}

double path_at(const mo_path& p, unsigned ticks, double t)
{
  double s = std::clamp(t / ticks, 0.0, 1.0), d = p.to - p.from;
  switch (p.ease) {
    case mo_ease::smooth:
      return p.from + d * s * s * s * (10 - 15 * s + 6 * s * s);
    case mo_ease::spline: {
      double s2 = s * s, s3 = s2 * s, T = ticks;
      return (2 * s3 - 3 * s2 + 1) * p.from + (s3 - 2 * s2 + s) * T * p.v0 + (-2 * s3 + 3 * s2) * p.to +
             (s3 - s2) * T * p.v1;
    }
    default:
      return p.from + d * s;
  }
}

double path_speed(const mo_path& p, unsigned ticks, double t)
{
  double s = std::clamp(t / ticks, 0.0, 1.0), d = p.to - p.from, T = ticks;
  switch (p.ease) {
    case mo_ease::smooth:
      return d / T * 30 * s * s * (1 - s) * (1 - s);
    case mo_ease::spline:
      return ((6 * s * s - 6 * s) * (p.from - p.to)) / T + (3 * s * s - 4 * s + 1) * p.v0 +
             (3 * s * s - 2 * s) * p.v1;
    default:
      return d / T;
  }
}

double path_accel(const mo_path& p, unsigned ticks, double t)
{
  double s = std::clamp(t / ticks, 0.0, 1.0), d = p.to - p.from, T = ticks;
  switch (p.ease) {
    case mo_ease::smooth:
      return d / (T * T) * (60 * s - 180 * s * s + 120 * s * s * s);
    case mo_ease::spline:
      return ((12 * s - 6) * (p.from - p.to)) / (T * T) + ((6 * s - 4) * p.v0 + (6 * s - 2) * p.v1) / T;
    default:
      return 0;
  }
}

}  // namespace orvane::motion

#include "host/motion/fit.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace orvane::motion {

namespace {

// A track's value at every sample: gaps are drawn straight between the readings either side and
// the ends take the nearest reading, so that a keyframe can stand where a reading is missing.
std::vector<int16_t> filled(const fit_track& tr, const std::vector<int64_t>& t)
{
  size_t n = t.size();
  std::vector<int16_t> out(n, 0);
  size_t prev = n;  // the last reading seen, n for none yet
  for (size_t i = 0; i < n; i++) {
    if (!tr.have[i])
      continue;
    out[i] = tr.v[i];
    size_t from = prev == n ? 0 : prev + 1;
    for (size_t j = from; j < i; j++)
      out[j] = prev == n ? tr.v[i]
                         : static_cast<int16_t>(std::lround(tr.v[prev] + double(tr.v[i] - tr.v[prev]) *
                                                                            double(t[j] - t[prev]) / double(t[i] - t[prev])));
    prev = i;
  }
  for (size_t j = prev == n ? 0 : prev + 1; j < n; j++)
    out[j] = prev == n ? int16_t{0} : tr.v[prev];
  return out;
}

// How far a reading lies from the curve during the pass it was taken in: the servo cycle that
// read it ran somewhere between the outputs of the pass before and of its own.
double off_curve(double before, double at, double v)
{
  if ((v - before) * (v - at) <= 0)
    return 0;
  return std::min(std::fabs(v - before), std::fabs(v - at));
}

struct fitter {
  const fit_input& in;
  double tol;
  unsigned seg;
  std::vector<std::vector<int16_t>> fill;  // per track
  std::vector<size_t> keys;
  std::vector<mo_ease> eases;

  // The worst distance in each of segments s0..s1-1 (segment s runs from keys[s] to keys[s+1])
  // of the planned outputs from the samples, and the worst of them. One
  // segment either side is planned too but not measured: it sets the spline slopes at the ends.
  struct measured {
    std::vector<double> err;
    double worst = -1;
  };
  measured measure(const std::vector<size_t>& k, const std::vector<mo_ease>& e, size_t s0, size_t s1) const
  {
    size_t c0 = s0 ? s0 - 1 : 0, c1 = std::min(s1 + 1, e.size());
    motion m;
    m.file = "fit";
    for (size_t s = c0; s < c1; s++) {
      keyframe f;
      f.in_ticks = true;
      f.amount = double(in.t[k[s + 1]] - in.t[k[s]]);
      f.ease = e[s];
      for (size_t c = 0; c < in.tracks.size(); c++)
        f.targets.push_back({in.tracks[c].ch, fill[c][k[s + 1]]});
      m.frames.push_back(std::move(f));
    }
    mo_outputs start{};
    for (size_t c = 0; c < in.tracks.size(); c++)
      start[in.tracks[c].ch] = fill[c][k[c0]];
    plan_opts o;
    o.seg = seg;
    std::vector<mo_move> moves = plan(plan_spans(m, o, start), seg);
    measured r;
    r.err.assign(s1 - s0, 0);
    for (size_t c = 0; c < in.tracks.size(); c++) {
      const fit_track& tr = in.tracks[c];
      std::vector<int16_t> out = plan_outputs(moves, start[tr.ch], tr.ch);
      for (size_t s = s0; s < s1; s++)
        for (size_t i = k[s] + 1; i <= k[s + 1]; i++) {
          if (!tr.have[i])
            continue;
          auto tick = static_cast<size_t>(in.t[i] - in.t[k[c0]]);
          double d = off_curve(tick >= 2 ? out[tick - 2] : start[tr.ch], out[tick - 1], tr.v[i]);
          r.err[s - s0] = std::max(r.err[s - s0], d);
          r.worst = std::max(r.worst, d);
        }
    }
    return r;
  }

  // Straight or smooth, whichever is closer, split at its worst sample until it fits.
  void split()
  {
    std::vector<std::pair<size_t, size_t>> todo{{0, in.t.size() - 1}};
    std::vector<std::pair<size_t, mo_ease>> done;  // segment start and its ease
    while (!todo.empty()) {
      auto [a, b] = todo.back();
      todo.pop_back();
      measured best;
      mo_ease ease = mo_ease::linear;
      for (mo_ease e : {mo_ease::smooth, mo_ease::linear}) {
        measured m = measure({a, b}, {e}, 0, 1);
        if (best.worst < 0 || m.worst < best.worst) {
          best = m;
          ease = e;
        }
      }
      // Split at the worst sample that leaves both parts at least a move long; with none, or
      // when it fits, the segment stays as it is. Too long for a keyframe: split in the middle.
      size_t at = a;
      if (in.t[b] - in.t[a] > FIT_MAX_TICKS) {
        at = a + (b - a) / 2;
      } else if (best.worst > tol) {
        double w = -1;
        for (size_t i = a + 1; i < b; i++) {
          if (in.t[i] - in.t[a] < FIT_MIN_TICKS || in.t[b] - in.t[i] < FIT_MIN_TICKS)
            continue;
          if (double d = error_at(a, b, ease, i); d > w) {
            w = d;
            at = i;
          }
        }
      }
      if (at == a || at == b) {
        done.push_back({a, ease});
        continue;
      }
      todo.push_back({at, b});
      todo.push_back({a, at});
    }
    std::sort(done.begin(), done.end(), [](auto& x, auto& y) { return x.first < y.first; });
    for (auto& [a, e] : done) {
      keys.push_back(a);
      eases.push_back(e);
    }
    keys.push_back(in.t.size() - 1);
  }

  // The distance at sample i of the one-segment curve from a to b.
  double error_at(size_t a, size_t b, mo_ease e, size_t i) const
  {
    double w = 0;
    for (size_t c = 0; c < in.tracks.size(); c++) {
      const fit_track& tr = in.tracks[c];
      if (!tr.have[i])
        continue;
      mo_path p{tr.ch, e, double(fill[c][a]), double(fill[c][b])};
      auto ticks = static_cast<unsigned>(in.t[b] - in.t[a]);
      double x = double(in.t[i] - in.t[a]);
      w = std::max(w, off_curve(path_at(p, ticks, x - 1), path_at(p, ticks, x), tr.v[i]));
    }
    return w;
  }

  // Dropping keyframe k: the ease that best joins its two segments, with the errors of the joined
  // segment and its neighbours, or nothing if the joined one would leave the tolerance or a
  // neighbour would get worse than it was (or than the tolerance).
  struct drop {
    std::vector<mo_ease> eases;  // of segments from k - 3 (or 0) on, the joined one as k - 1
    std::vector<double> err;     // and their errors
    double worst = 0;
  };
  std::optional<drop> try_drop(size_t k, const std::vector<double>& err) const
  {
    size_t base = k >= 4 ? k - 4 : 0, hi = std::min(keys.size() - 1, k + 4);
    std::vector<size_t> lk(keys.begin() + static_cast<std::ptrdiff_t>(base), keys.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
    std::vector<mo_ease> was(eases.begin() + static_cast<std::ptrdiff_t>(base), eases.begin() + static_cast<std::ptrdiff_t>(hi));
    size_t j = k - 1 - base;  // the joined segment, in the window
    lk.erase(lk.begin() + static_cast<std::ptrdiff_t>(j + 1));
    was.erase(was.begin() + static_cast<std::ptrdiff_t>(j + 1));
    if (in.t[lk[j + 1]] - in.t[lk[j]] > FIT_MAX_TICKS)
      return std::nullopt;
    size_t s0 = j >= 2 ? j - 2 : 0, s1 = std::min(j + 3, was.size());
    std::optional<drop> best;
    // Each ease for the joined segment alone, and a spline through it and both its neighbours,
    // which only then passes its poses with their speed rather than at rest.
    for (int v = 0; v < 4; v++) {
      std::vector<mo_ease> le = was;
      if (v < 3) {
        le[j] = v == 0 ? mo_ease::spline : v == 1 ? mo_ease::smooth : mo_ease::linear;
      } else {
        for (size_t q = j ? j - 1 : 0; q <= j + 1 && q < le.size(); q++)
          le[q] = mo_ease::spline;
        if (le == was)
          continue;
      }
      measured m = measure(lk, le, s0, s1);
      bool ok = true;
      for (size_t q = s0; q < s1 && ok; q++) {
        size_t g = base + q;  // the segment in the whole fit, before the drop
        double before = q < j ? err[g] : q == j ? 0 : err[g + 1];
        ok = m.err[q - s0] <= std::max(tol, before);
      }
      if (ok && (!best || m.worst < best->worst))
        best = drop{std::vector<mo_ease>(le.begin() + static_cast<std::ptrdiff_t>(s0), le.begin() + static_cast<std::ptrdiff_t>(s1)),
                    m.err, m.worst};
    }
    return best;
  }

  // Moves each keyframe to the sample between its neighbours, and picks the eases of its two
  // segments, that bring those segments closest to the recording without making the segments
  // either side worse. A keyframe chosen where one segment was worst is seldom where two joined
  // segments fit best, and a better place lets later drops go further.
  bool slide()
  {
    bool moved = false;
    std::vector<double> err = measure(keys, eases, 0, eases.size()).err;
    for (size_t k = 1; k + 1 < keys.size(); k++) {
      size_t base = k >= 3 ? k - 3 : 0, hi = std::min(keys.size() - 1, k + 3);
      std::vector<size_t> lk(keys.begin() + static_cast<std::ptrdiff_t>(base), keys.begin() + static_cast<std::ptrdiff_t>(hi) + 1);
      std::vector<mo_ease> le(eases.begin() + static_cast<std::ptrdiff_t>(base), eases.begin() + static_cast<std::ptrdiff_t>(hi));
      size_t j = k - base;  // the keyframe in the window; its segments are j - 1 and j
      size_t s0 = j >= 2 ? j - 2 : 0, s1 = std::min(j + 2, le.size());
      auto worse = [&](const measured& m) {  // its segments' worst, or -1 if a neighbour got worse
        double w = 0;
        for (size_t q = s0; q < s1; q++) {
          if (q + 1 == j || q == j)
            w = std::max(w, m.err[q - s0]);
          else if (m.err[q - s0] > std::max(tol, err[base + q]))
            return -1.0;
        }
        return w;
      };
      double now = std::max(err[k - 1], err[k]);
      if (now <= 0)
        continue;
      size_t best_at = lk[j];
      mo_ease best_a = le[j - 1], best_b = le[j];
      double best = now;
      std::vector<double> best_err;
      // Within a few dozen samples: far enough for a turn that was missed, and no quadratic
      // cost on a recording of an hour.
      size_t from = std::max(keys[k - 1] + 1, keys[k] > 30 ? keys[k] - 30 : 0);
      for (size_t i = from; i < keys[k + 1] && i <= keys[k] + 30; i++) {
        if (in.t[i] - in.t[keys[k - 1]] < FIT_MIN_TICKS || in.t[keys[k + 1]] - in.t[i] < FIT_MIN_TICKS)
          continue;
        lk[j] = i;
        for (mo_ease a : {mo_ease::linear, mo_ease::smooth, mo_ease::spline})
          for (mo_ease b : {mo_ease::linear, mo_ease::smooth, mo_ease::spline}) {
            le[j - 1] = a;
            le[j] = b;
            measured m = measure(lk, le, s0, s1);
            double w = worse(m);
            if (w >= 0 && w < best - 1e-9) {
              best = w;
              best_err = m.err;
              best_at = i;
              best_a = a;
              best_b = b;
            }
          }
      }
      if (best_at == keys[k] && best_a == eases[k - 1] && best_b == eases[k])
        continue;
      keys[k] = best_at;
      eases[k - 1] = best_a;
      eases[k] = best_b;
      for (size_t q = s0; q < s1; q++)
        err[base + q] = best_err[q - s0];
      moved = true;
    }
    return moved;
  }

  // Bottom up: drops, one at a time, the keyframe whose joined segments come closest to the
  // recording, until no keyframe can go.
  void merge()
  {
    std::vector<double> err = measure(keys, eases, 0, eases.size()).err;
    std::vector<std::optional<drop>> cost(keys.size());
    for (size_t k = 1; k + 1 < keys.size(); k++)
      cost[k] = try_drop(k, err);
    for (;;) {
      size_t k = 0;
      for (size_t q = 1; q + 1 < keys.size(); q++)
        if (cost[q] && (!k || cost[q]->worst < cost[k]->worst))
          k = q;
      if (!k)
        return;
      drop d = *cost[k];
      size_t first = k >= 3 ? k - 3 : 0;
      keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(k));
      eases.erase(eases.begin() + static_cast<std::ptrdiff_t>(k));
      err.erase(err.begin() + static_cast<std::ptrdiff_t>(k));
      cost.erase(cost.begin() + static_cast<std::ptrdiff_t>(k));
      for (size_t q = 0; q < d.err.size(); q++) {
        eases[first + q] = d.eases[q];
        err[first + q] = d.err[q];
      }
      for (size_t q = k >= 7 ? k - 7 : 1; q + 1 < keys.size() && q <= k + 7; q++)
        cost[q] = q ? try_drop(q, err) : std::nullopt;
    }
  }
};

}  // namespace

std::vector<int16_t> fit_pose(const fit_input& in, size_t i)
{
  std::vector<int16_t> pose;
  for (const fit_track& tr : in.tracks)
    pose.push_back(filled(tr, in.t)[i]);
  return pose;
}

fit_result fit_keyframes(const fit_input& in, double tol, unsigned seg)
{
  fit_result r;
  if (in.t.empty() || in.tracks.empty())
    return r;
  if (in.t.size() == 1) {
    r.keys = {0};
    return r;
  }
  fitter f{in, tol, std::max(1u, seg), {}, {}, {}};
  for (const fit_track& tr : in.tracks)
    f.fill.push_back(filled(tr, in.t));
  f.split();
  f.merge();
  for (int round = 0; round < 3 && f.slide(); round++)
    f.merge();
  r.worst = std::max(0.0, f.measure(f.keys, f.eases, 0, f.eases.size()).worst);
  r.keys = std::move(f.keys);
  r.eases = std::move(f.eases);
  return r;
}

double fit_deviation(const fit_input& in, const std::vector<mo_move>& moves, const mo_outputs& start, int64_t offset)
{
  double worst = 0;
  for (const fit_track& tr : in.tracks) {
    std::vector<int16_t> out = plan_outputs(moves, start[tr.ch], tr.ch);
    for (size_t i = 0; i < in.t.size(); i++) {
      int64_t tick = offset + in.t[i];
      if (!tr.have[i] || tick > static_cast<int64_t>(out.size()))
        continue;
      auto value = [&](int64_t k) { return k <= 0 ? start[tr.ch] : out[static_cast<size_t>(k - 1)]; };
      worst = std::max(worst, off_curve(value(tick - 1), value(tick), tr.v[i]));
    }
  }
  return worst;
}

}  // namespace orvane::motion

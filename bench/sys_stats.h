// Small statistics for the system benchmark's driver: percentiles and rates over samples that the
// driver owns; no state of their own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// Nearest-rank percentile, p in 0..100, of samples that need not be sorted.
inline double pct(std::vector<double> v, double p)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  auto k = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  k = std::clamp<size_t>(k, 1, v.size());
  return v[k - 1];
}

inline double vmax(const std::vector<double>& v)
{
  return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Events per second over the timestamps (ns, rising) that fall inside [t0, t1].
inline double rate_in(const std::vector<int64_t>& t, int64_t t0, int64_t t1)
{
  auto a = std::lower_bound(t.begin(), t.end(), t0);
  auto b = std::upper_bound(t.begin(), t.end(), t1);
  if (b - a < 2)
    return 0;
  return static_cast<double>(b - a - 1) * 1e9 / static_cast<double>(*(b - 1) - *a);
}

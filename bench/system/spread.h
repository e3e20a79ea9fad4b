// Median, 99th percentile and extremes of a set of measured times.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace vorel::bench {

struct Spread {
  std::size_t count = 0;
  double median = 0, p99 = 0, min = 0, max = 0;
};

inline Spread SpreadOf(std::vector<double> v) {
  Spread s;
  s.count = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  s.p99 = v[static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(v.size()))) - 1];
  s.min = v.front();
  s.max = v.back();
  return s;
}

}  // namespace vorel::bench

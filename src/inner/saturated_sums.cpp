#include "inner/saturated_sums.hpp"

#include <algorithm>
#include <cmath>

#include "core/numeric.hpp"
#include "family/deviances.hpp"

namespace quelt {

SaturatedSums saturated_sums(std::span<const double> y, const std::optional<Vector>& w) {
  SaturatedSums s;
  const std::size_t n = y.size();
  if (!w) {
    for (double v : y) s.sum_log_y += std::log(floor_at(v, kMeanFloor));
    if (n > 0) {
      s.level.assign(1, 1.0);
      s.count.assign(1, static_cast<double>(n));
    }
    s.sum_inv_w = static_cast<double>(n);
    return s;
  }
  Vector sorted;
  sorted.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = (*w)[i];
    if (!(wi > 0.0)) continue;
    sorted.push_back(wi);
    s.sum_log_y += std::log(floor_at(y[i], kMeanFloor));
    s.sum_log_w += std::log(wi);
    s.sum_inv_w += 1.0 / wi;
  }
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < sorted.size();) {
    std::size_t j = i + 1;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    s.level.push_back(sorted[i]);
    s.count.push_back(static_cast<double>(j - i));
    i = j;
  }
  // Node g takes the levels until the rows reach (g + 1)/kScaleNodes of all.
  const std::size_t levels = s.level.size();
  if (levels <= kScaleNodes) return s;
  const double rows = static_cast<double>(sorted.size());
  double taken = 0.0, cw = 0.0, c = 0.0;
  std::size_t g = 0;
  for (std::size_t k = 0; k < levels; ++k) {
    c += s.count[k];
    cw += s.count[k] * s.level[k];
    taken += s.count[k];
    const double bound = rows * static_cast<double>(g + 1) / static_cast<double>(kScaleNodes);
    if (taken >= bound || k + 1 == levels) {
      s.node_level.push_back(cw / c);
      s.node_count.push_back(c);
      cw = c = 0.0;
      ++g;
    }
  }
  return s;
}

}  // namespace quelt

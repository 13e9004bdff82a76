#include "core/robust_scale.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace quelt {

double weighted_order_statistic(std::span<const double> v, const double* a, double tau,
                                double total) {
  const double k = std::fmax(0.0, std::round((total - 1.0) * tau));
  if (!a) {
    // Selection in linear time: the k-th smallest of a copy.
    std::vector<double> c(v.begin(), v.end());
    const std::size_t kk = std::min(c.size() - 1, static_cast<std::size_t>(k));
    std::nth_element(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(kk), c.end());
    return c[kk];
  }
  std::vector<std::size_t> order(v.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&v](std::size_t i, std::size_t j) { return v[i] < v[j]; });
  double cum = 0.0, last = 0.0;
  for (std::size_t i : order) {
    const double w = a[i];
    if (!(w > 0.0)) continue;
    cum += w;
    last = v[i];
    if (cum > k) return v[i];
  }
  return last;
}

RobustLocation robust_location(std::span<const double> v, const double* a, double total) {
  const double med = weighted_order_statistic(v, a, 0.5, total);
  std::vector<double> dev(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) dev[i] = std::fabs(v[i] - med);
  return {med, kMadToSd * weighted_order_statistic(dev, a, 0.5, total)};
}

double positive_weight_total(std::size_t n, const double* a) {
  if (!a) return static_cast<double>(n);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] > 0.0) total += a[i];
  return total;
}

}  // namespace quelt

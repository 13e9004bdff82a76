#include "inner/weighted_moments.hpp"

#include <cmath>

namespace quelt {

WeightedMoments weighted_moments(std::span<const double> y, const std::optional<Vector>& w) {
  const std::size_t n = y.size();
  const double* wp = w ? w->data() : nullptr;
  WeightedMoments m;
  double wmax = 0.0, ymin = 0.0, ymax = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = wp ? wp[i] : 1.0;
    if (!(wi > 0.0)) continue;
    if (m.n_obs == 0) ymin = ymax = y[i];
    m.n_obs += 1;
    wmax = std::fmax(wmax, wi);
    ymin = std::fmin(ymin, y[i]);
    ymax = std::fmax(ymax, y[i]);
  }
  if (m.n_obs == 0) return m;
  // Σ (w/wmax), Σ (w/wmax)(y/|y|max): every term at most 1 in magnitude.
  const double yabs = std::fmax(std::fabs(ymin), std::fabs(ymax));
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = wp ? wp[i] : 1.0;
    if (!(wi > 0.0)) continue;
    sw += wi / wmax;
    swy += (wi / wmax) * (yabs > 0.0 ? y[i] / yabs : 0.0);
  }
  m.mean_weight = wmax * (sw / static_cast<double>(m.n_obs));
  m.mean = yabs * (swy / sw);
  // A constant response has sd exactly 0 (the mean of equal values can
  // differ from them in the last bit, which is no spread). Otherwise the
  // deviations are summed over the largest of them, |y − ȳ| at an extreme.
  if (ymin < ymax) {
    const double dmax = std::fmax(ymax - m.mean, m.mean - ymin);
    double ss = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double wi = wp ? wp[i] : 1.0;
      if (!(wi > 0.0)) continue;
      const double d = (y[i] - m.mean) / dmax;
      ss += (wi / wmax) * (d * d);
    }
    m.sd = dmax * std::sqrt(ss / sw);
  }
  return m;
}

std::size_t count_positive_weights(const std::optional<Vector>& w, std::size_t n) {
  if (!w) return n;
  std::size_t c = 0;
  for (double v : *w) c += v > 0.0 ? 1 : 0;
  return c;
}

}  // namespace quelt

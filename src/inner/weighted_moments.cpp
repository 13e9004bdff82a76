#include "inner/weighted_moments.hpp"

#include <cmath>

namespace quelt {

WeightedMoments weighted_moments(std::span<const double> y, const std::optional<Vector>& w) {
  const std::size_t n = y.size();
  auto weight = [&w](std::size_t i) { return w ? (*w)[i] : 1.0; };
  WeightedMoments m;
  double wmax = 0.0, ymax = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = weight(i);
    if (!(wi > 0.0)) continue;
    m.n_obs += 1;
    wmax = std::fmax(wmax, wi);
    ymax = std::fmax(ymax, std::fabs(y[i]));
  }
  if (m.n_obs == 0) return m;
  // Σ (w/wmax), Σ (w/wmax)(y/ymax): every term at most 1 in magnitude.
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = weight(i);
    if (!(wi > 0.0)) continue;
    sw += wi / wmax;
    swy += (wi / wmax) * (ymax > 0.0 ? y[i] / ymax : 0.0);
  }
  m.mean_weight = wmax * (sw / static_cast<double>(m.n_obs));
  m.mean = ymax * (swy / sw);
  double dmax = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    if (weight(i) > 0.0) dmax = std::fmax(dmax, std::fabs(y[i] - m.mean));
  if (dmax > 0.0) {
    double ss = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double wi = weight(i);
      if (!(wi > 0.0)) continue;
      const double d = (y[i] - m.mean) / dmax;
      ss += (wi / wmax) * (d * d);
    }
    m.sd = dmax * std::sqrt(ss / sw);
  }
  // A constant response: every value equal to the first (the mean of equal
  // values can differ from them in the last bit, which is no spread).
  bool constant = true, seen = false;
  double first = 0.0;
  for (std::size_t i = 0; i < n && constant; ++i) {
    if (!(weight(i) > 0.0)) continue;
    if (!seen) first = y[i], seen = true;
    constant = y[i] == first;
  }
  if (constant) m.sd = 0.0;
  return m;
}

std::size_t count_positive_weights(const std::optional<Vector>& w, std::size_t n) {
  if (!w) return n;
  std::size_t c = 0;
  for (double v : *w) c += v > 0.0 ? 1 : 0;
  return c;
}

}  // namespace quelt

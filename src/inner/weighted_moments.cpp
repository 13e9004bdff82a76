#include "inner/weighted_moments.hpp"

#include <cmath>

namespace quelt {

namespace {

// 2^1023, the largest power of two of the 64-bit floats.
constexpr double kLargestPowerOfTwo = 0x1p1023;

// The sums of weighted_moments with the weight of row i given by wt(i)
// (rows of non-positive weight skipped).
template <class Weight>
WeightedMoments moments_with(std::span<const double> y, Weight wt) {
  const std::size_t n = y.size();
  WeightedMoments m;
  double wmax = 0.0, ymin = 0.0, ymax = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = wt(i);
    if (!(wi > 0.0)) continue;
    const double v = y[i];
    if (m.n_obs == 0) ymin = ymax = v;
    m.n_obs += 1;
    wmax = wi > wmax ? wi : wmax;
    ymin = v < ymin ? v : ymin;
    ymax = v > ymax ? v : ymax;
  }
  if (m.n_obs == 0) return m;
  // Σ (w/wmax), Σ (w/wmax)(y/|y|max): every term at most 1 in magnitude.
  // Where 1/|y|max overflows (every y below 2^-1024, subnormal) y is scaled
  // by 2^1023 instead, exactly.
  const double yabs = std::fmax(std::fabs(ymin), std::fabs(ymax));
  const double rw = 1.0 / wmax;
  double ry = yabs > 0.0 ? 1.0 / yabs : 0.0, back = yabs;
  if (std::isinf(ry)) {
    ry = kLargestPowerOfTwo;
    back = 1.0 / kLargestPowerOfTwo;
  }
  double sw = 0.0, swy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = wt(i);
    if (!(wi > 0.0)) continue;
    sw += wi * rw;
    swy += (wi * rw) * (y[i] * ry);
  }
  m.mean_weight = wmax * (sw / static_cast<double>(m.n_obs));
  m.mean = back * (swy / sw);
  // A constant response has sd exactly 0 (the mean of equal values can
  // differ from them in the last bit, which is no spread). Otherwise the
  // deviations are summed over the largest of them, |y − ȳ| at an extreme.
  if (ymin < ymax) {
    double rd = 1.0 / std::fmax(ymax - m.mean, m.mean - ymin);
    if (std::isinf(rd)) rd = kLargestPowerOfTwo;  // subnormal deviations
    double ss = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double wi = wt(i);
      if (!(wi > 0.0)) continue;
      const double d = (y[i] - m.mean) * rd;
      ss += (wi * rw) * (d * d);
    }
    m.sd = std::sqrt(ss / sw) / rd;
  }
  return m;
}

}  // namespace

WeightedMoments weighted_moments(std::span<const double> y, const std::optional<Vector>& w) {
  if (!w) return moments_with(y, [](std::size_t) { return 1.0; });
  const double* wp = w->data();
  return moments_with(y, [wp](std::size_t i) { return wp[i]; });
}

std::size_t count_positive_weights(const std::optional<Vector>& w, std::size_t n) {
  if (!w) return n;
  std::size_t c = 0;
  for (double v : *w) c += v > 0.0 ? 1 : 0;
  return c;
}

}  // namespace quelt

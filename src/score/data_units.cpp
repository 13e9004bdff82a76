#include "score/data_units.hpp"

#include <cmath>
#include <type_traits>

#include "inner/working.hpp"

namespace quelt {

namespace {

// Fisher weight W(μ) and variance V(μ) at unit prior weight.
template <class F>
double fisher_weight_at(double mu) {
  if constexpr (std::is_same_v<F, Gaussian>)
    return 1.0;
  else
    return Working<F>::fisher_weight(mu, 1.0);
}
template <class F>
double variance_at(double mu) {
  if constexpr (std::is_same_v<F, Gaussian>)
    return 1.0;
  else
    return Working<F>::variance(mu);
}

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

// ln v, or 0 where v is not a positive finite number.
double log_or_zero(double v) { return positive_finite(v) ? std::log(v) : 0.0; }

}  // namespace

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

template <class Family>
DataUnits data_units(const FitContext<Family>& ctx) {
  const WeightedMoments m = weighted_moments(ctx.y, ctx.prior_weights);
  DataUnits u;
  u.n_obs = m.n_obs;
  u.weight_sum = m.mean_weight * static_cast<double>(m.n_obs);
  u.mean_y = m.mean;
  u.fisher_weight = fisher_weight_at<Family>(m.mean);
  u.weight_level = m.mean_weight * u.fisher_weight;
  u.constant_y = m.n_obs > 0 && m.sd == 0.0;
  const double v = variance_at<Family>(m.mean);
  const double spread = m.mean_weight * (m.sd * m.sd) / v;
  if (positive_finite(spread)) {
    u.dispersion = spread;
  } else {
    const double level = m.mean_weight * (m.mean * m.mean) / v;
    u.dispersion = positive_finite(level) ? level : (m.mean_weight > 0.0 ? m.mean_weight : 1.0);
  }
  return u;
}

template <class Family>
double score_origin(const FitContext<Family>& ctx, const DataUnits& u) {
  const double n = static_cast<double>(u.n_obs);
  const double mp = static_cast<double>(ctx.null_space_dim);
  const double log_w = log_or_zero(u.weight_level);
  const double log_y = log_or_zero(u.mean_y);
  const double log_phi = log_or_zero(u.dispersion);
  double origin = 0.0;
  if constexpr (std::is_same_v<Family, Poisson> || std::is_same_v<Family, Bernoulli>) {
    return 0.0;
  } else if constexpr (std::is_same_v<Family, GammaLog> || std::is_same_v<Family, GammaInverse>) {
    origin = 0.5 * mp * log_w + u.weight_sum * log_y;
  } else {
    origin = 0.5 * (n - mp) * log_phi + 0.5 * mp * log_w;
    if constexpr (std::is_same_v<Family, InverseGaussian>) origin += 1.5 * u.weight_sum * log_y;
  }
  return std::isfinite(origin) ? origin : 0.0;
}

#define QUELT_DATA_UNITS_INSTANCE(F)                      \
  template DataUnits data_units<F>(const FitContext<F>&); \
  template double score_origin<F>(const FitContext<F>&, const DataUnits&);
QUELT_DATA_UNITS_INSTANCE(Gaussian)
QUELT_DATA_UNITS_INSTANCE(Bernoulli)
QUELT_DATA_UNITS_INSTANCE(QuasiBinomial)
QUELT_DATA_UNITS_INSTANCE(Poisson)
QUELT_DATA_UNITS_INSTANCE(QuasiPoisson)
QUELT_DATA_UNITS_INSTANCE(GammaLog)
QUELT_DATA_UNITS_INSTANCE(GammaInverse)
QUELT_DATA_UNITS_INSTANCE(InverseGaussian)
#undef QUELT_DATA_UNITS_INSTANCE

}  // namespace quelt

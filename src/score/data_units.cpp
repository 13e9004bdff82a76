#include "score/data_units.hpp"

#include <cmath>

#include "inner/working.hpp"

namespace quelt {

namespace {

// Fisher weight W(μ) at unit prior weight, from the family value's working
// quantities, and the family's variance V(μ) floored as those take it.
template <class F>
double fisher_weight_at(const F& family, double mu) {
  return Working<F>{family}.fisher_weight(mu, 1.0);
}
template <class F>
double variance_at(const F& family, double mu) {
  return floor_at(family.variance(mu), kWorkFloor);
}

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

// ln v, or 0 where v is not a positive finite number.
double log_or_zero(double v) { return positive_finite(v) ? std::log(v) : 0.0; }

}  // namespace

template <class Family>
DataUnits data_units(const FitContext<Family>& ctx) {
  const WeightedMoments& m = ctx.moments;
  DataUnits u;
  u.n_obs = m.n_obs;
  u.weight_sum = m.mean_weight * static_cast<double>(m.n_obs);
  u.mean_y = m.mean;
  u.fisher_weight = fisher_weight_at(ctx.family, m.mean);
  u.weight_level = m.mean_weight * u.fisher_weight;
  u.constant_y = m.n_obs > 0 && m.sd == 0.0;
  const double v = variance_at(ctx.family, m.mean);
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
  if constexpr (Family::scale == Scale::Known) {
    return 0.0;
  } else if constexpr (Family::saturated == Saturated::Gamma) {
    // Not moved by the units of the weights: W(ȳ) at unit prior weight.
    origin = 0.5 * mp * log_or_zero(u.fisher_weight) + n * log_y;
  } else if constexpr (Family::saturated == Saturated::InverseGaussian) {
    // Not moved by the units of the weights: the dispersion and W(ȳ) per
    // unit of weight.
    const double per_weight = u.weight_sum > 0.0 ? u.weight_sum / n : 1.0;
    origin = 0.5 * (n - mp) * log_or_zero(u.dispersion / per_weight) +
             0.5 * mp * log_or_zero(u.fisher_weight) + 1.5 * n * log_y;
  } else {
    origin = 0.5 * (n - mp) * log_phi + 0.5 * mp * log_w;
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

#include "outer/outer_frame.hpp"

#include <cmath>

#include "score/data_units.hpp"

namespace quelt {

namespace {

// ȳ inside the range of the family's mean, where its Fisher weight is a
// weight of the data and not of a floor: positive for the log and inverse
// links, inside (0, 1) for the logit.
template <class Family>
bool mean_inside_range(double ybar) {
  if constexpr (Family::link == Link::Identity)
    return std::isfinite(ybar);
  else if constexpr (Family::link == Link::Logit)
    return ybar > 0.0 && ybar < 1.0;
  else
    return ybar > 0.0 && std::isfinite(ybar);
}

}  // namespace

Vector weighted_column_squares(const Matrix& x, const std::optional<Vector>& w) {
  const std::size_t n = x.rows(), p = x.cols();
  Vector d(p, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w ? (*w)[i] : 1.0;
    if (!(wi > 0.0)) continue;
    const double* row = x.row_ptr(i);
    for (std::size_t k = 0; k < p; ++k) d[k] += wi * (row[k] * row[k]);
  }
  return d;
}

Vector balanced_log_lambdas(const Vector& info_diag, const std::vector<Matrix>& penalties,
                            std::size_t n_obs) {
  const std::size_t m = penalties.size(), p = info_diag.size();
  Vector start(m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& s = penalties[j];
    double info = 0.0, trace = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
      if (s(k, k) == 0.0) continue;
      info += info_diag[k];
      trace += s(k, k);
    }
    const double ratio = info / (trace * kStartLean * std::sqrt(static_cast<double>(n_obs)));
    if (ratio > 0.0 && std::isfinite(ratio)) {
      const double r = std::log(ratio);
      if (std::isfinite(r)) start[j] = r;
    }
  }
  return start;
}

template <class Family>
OuterFrame outer_frame(const FitContext<Family>& ctx) {
  const std::size_t m = ctx.m(), p = ctx.p();
  const DataUnits units = data_units(ctx);
  // The diagonal of XᵀW₀X: the context of a closed-form fit holds XᵀWX
  // already.
  Vector d(p);
  if constexpr (requires { ctx.xtwx; }) {
    for (std::size_t k = 0; k < p; ++k) d[k] = ctx.xtwx(k, k);
  } else {
    d = weighted_column_squares(ctx.x, ctx.prior_weights);
    for (double& v : d) v *= units.fisher_weight;
  }
  OuterFrame f;
  f.start = mean_inside_range<Family>(units.mean_y)
                ? balanced_log_lambdas(d, ctx.penalties, units.n_obs)
                : Vector(m, 0.0);
  f.bounds.reserve(m);
  for (double r : f.start) f.bounds.emplace_back(r - kRhoHalfWidth, r + kRhoHalfWidth);
  f.score_origin = score_origin(ctx, units);
  return f;
}

#define QUELT_OUTER_FRAME_INSTANCE(F) template OuterFrame outer_frame<F>(const FitContext<F>&);
QUELT_OUTER_FRAME_INSTANCE(Gaussian)
QUELT_OUTER_FRAME_INSTANCE(Bernoulli)
QUELT_OUTER_FRAME_INSTANCE(QuasiBinomial)
QUELT_OUTER_FRAME_INSTANCE(Poisson)
QUELT_OUTER_FRAME_INSTANCE(QuasiPoisson)
QUELT_OUTER_FRAME_INSTANCE(GammaLog)
QUELT_OUTER_FRAME_INSTANCE(GammaInverse)
QUELT_OUTER_FRAME_INSTANCE(InverseGaussian)
#undef QUELT_OUTER_FRAME_INSTANCE

}  // namespace quelt

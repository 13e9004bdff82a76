#include "score/shape_tdist.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "core/blas.hpp"
#include "core/gamma_functions.hpp"
#include "core/linalg.hpp"
#include "family/tdist.hpp"
#include "inner/pirls_shape.hpp"
#include "score/scale_pilot.hpp"
#include "score/shape_eval_impl.hpp"
#include "score/shape_score_impl.hpp"

namespace quelt {

namespace {

constexpr double kLnPi = 1.1447298858494002;  // ln π

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

}  // namespace

TDist ShapeTraits<TDist>::decode(const TDist& base, std::span<const double> tail) {
  check_invariant(tail.size() >= 2, "scaled t: the shape tail needs log σ² and log(ν − 2)");
  TDist f = base;
  f.sigma2 = std::exp(tail[0]);
  f.nu = 2.0 + std::exp(tail[1]);
  return f;
}

double ShapeTraits<TDist>::saturated_loglik(const FitContext<TDist>& ctx, const TDist& f) {
  double wsum = static_cast<double>(ctx.y.size());
  if (ctx.prior_weights)
    wsum = std::accumulate(ctx.prior_weights->begin(), ctx.prior_weights->end(), 0.0);
  const double per = ln_gamma(0.5 * (f.nu + 1.0)) - ln_gamma(0.5 * f.nu) -
                     0.5 * (kLnPi + std::log(f.nu * f.sigma2));
  return wsum * per;
}

Result<InnerFit> ShapeTraits<TDist>::inner_fit(const FitContext<TDist>& ctx, const TDist& f,
                                               std::span<const double> rho) {
  return pirls_shape(ctx, f, rho);
}

Vector ShapeTraits<TDist>::shape_gradient(const FitContext<TDist>& ctx, const InnerFit& fit,
                                          const TDist& f, const PenaltyPieces& pc) {
  const std::span<const double> w =
      ctx.prior_weights ? std::span<const double>(*ctx.prior_weights) : std::span<const double>();
  const TDistObsDerivs d = tdist_obs_derivs(f, ctx.y, fit.mu, w);
  double n0 = 0.0, n1 = 0.0;
  for (std::size_t i = 0; i < ctx.y.size(); ++i) {
    n0 += d.dev_shape(i, 0);
    n1 += d.dev_shape(i, 1);
  }
  double wsum = static_cast<double>(ctx.y.size());
  if (ctx.prior_weights)
    wsum = std::accumulate(ctx.prior_weights->begin(), ctx.prior_weights->end(), 0.0);
  // T = tr(H⁻¹XᵀWX) = Σ_i W_i h_i.
  const double t = fit.xtwx ? frobenius_dot(pc.h_inv, *fit.xtwx)
                            : frobenius_dot(pc.h_inv, xtwx(ctx.x.view(), fit.w.data()));
  const double nu = f.nu, nu2 = nu - 2.0;
  const double dls = nu2 * 0.5 * wsum * (digamma(0.5 * (nu + 1.0)) - digamma(0.5 * nu) - 1.0 / nu);
  return {0.5 * n0 + 0.5 * wsum - 0.5 * t, 0.5 * n1 - dls + t * nu2 / ((nu + 1.0) * (nu + 3.0))};
}

double robust_variance(const FitContext<TDist>& ctx) {
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols();
  const double* w = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  const std::size_t n_obs = ctx.moments.n_obs;
  double v = std::nan("");
  if (n_obs > p) {
    const Matrix a = xtwx(ctx.x.view(), w);
    const Vector b = xtwz(ctx.x.view(), w, ctx.y);
    auto solved = chol_solve_penalized(a, b);
    if (solved.ok()) {
      const Vector fitted = matvec(ctx.x.view(), solved.value().second);
      Vector r(n);
      for (std::size_t i = 0; i < n; ++i) r[i] = ctx.y[i] - fitted[i];
      const double nd = static_cast<double>(n_obs);
      v = mad_variance(r, w) * nd / (nd - static_cast<double>(p));
    }
  }
  if (!positive_finite(v)) v = mad_variance(ctx.y, w);
  if (!positive_finite(v)) v = ctx.moments.sd * ctx.moments.sd;
  if (!positive_finite(v)) v = ctx.moments.mean * ctx.moments.mean;
  return positive_finite(v) ? v : 1.0;
}

ShapeStart ShapeTraits<TDist>::start(const FitContext<TDist>& ctx, const TDist& base,
                                     double rank_total) {
  const bool pilot = !ctx.pilot_rho.empty() && positive_finite(ctx.pilot_variance);
  const double v = pilot ? ctx.pilot_variance : robust_variance(ctx);
  const double centre = std::log(v);
  // The box reaches σ² = kSigma2SpreadFloor·var(y) below the centre as well.
  const double spread = ctx.moments.sd * ctx.moments.sd;
  const double floor = positive_finite(spread) ? std::log(spread * kSigma2SpreadFloor) : centre;
  ShapeStart s;
  s.tail_bounds = {{std::fmin(centre - kShapeHalfWidth, floor), centre + kShapeHalfWidth},
                   {-kShapeHalfWidth, kShapeHalfWidth}};
  const double own = std::log(base.sigma2);
  s.tail = {own >= s.tail_bounds[0].first && own <= s.tail_bounds[0].second ? own : centre,
            std::log(base.nu - 2.0)};
  const double nu = 2.0 + std::exp(std::clamp(s.tail[1], -kShapeHalfWidth, kShapeHalfWidth));
  s.weight_level = (nu + 1.0) / ((nu + 3.0) * v);
  // The pilot's λ are those of unit weights: the t's information per row is
  // W̄ = (ν+1)/((ν+3)σ²), so its λ are W̄ times theirs.
  if (pilot) {
    s.rho = ctx.pilot_rho;
    for (double& r : s.rho) r += std::log(s.weight_level);
  }
  double wsum = static_cast<double>(ctx.y.size());
  if (ctx.prior_weights)
    wsum = std::accumulate(ctx.prior_weights->begin(), ctx.prior_weights->end(), 0.0);
  s.score_origin = (wsum + rank_total - static_cast<double>(ctx.p())) * 0.5 * centre;
  return s;
}

QUELT_SHAPE_SCORE_INSTANTIATE(TDist)
QUELT_SHAPE_EVAL_INSTANTIATE(TDist)

}  // namespace quelt

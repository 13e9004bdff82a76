#include "score/shape_tweedie.hpp"

#include <cmath>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "family/tweedie.hpp"
#include "inner/pirls_shape.hpp"
#include "inner/working_shape.hpp"
#include "score/shape_eval_impl.hpp"
#include "score/shape_score_impl.hpp"

namespace quelt {

namespace {

std::span<const double> weights_of(const FitContext<Tweedie>& ctx) {
  return ctx.prior_weights ? std::span<const double>(*ctx.prior_weights)
                           : std::span<const double>();
}

// 1 + 1/(1 + e^(−t)) before the hold to [1.05, 1.95].
double raw_power(double t) { return 1.0 + 1.0 / (1.0 + std::exp(-t)); }

}  // namespace

Tweedie ShapeTraits<Tweedie>::decode(const Tweedie& base, std::span<const double> tail) {
  check_invariant(tail.size() >= (base.estimate_p ? 2u : 1u),
                  "Tweedie: the shape tail needs log φ (and p_t when p is estimated)");
  Tweedie f = base;
  f.phi = std::exp(tail[0]);
  if (base.estimate_p) {
    double p = raw_power(tail[1]);
    if (p < kTweediePowerLow) p = kTweediePowerLow;
    if (p > kTweediePowerHigh) p = kTweediePowerHigh;
    f.p = p;
  }
  return f;
}

double ShapeTraits<Tweedie>::saturated_loglik(const FitContext<Tweedie>& ctx, const Tweedie& f) {
  return tweedie_saturated_loglik_sum(f.p, f.phi, ctx.y, weights_of(ctx));
}

Result<InnerFit> ShapeTraits<Tweedie>::inner_fit(const FitContext<Tweedie>& ctx, const Tweedie& f,
                                                 std::span<const double> rho) {
  return pirls_shape(ctx, f, rho);
}

Vector ShapeTraits<Tweedie>::shape_gradient(const FitContext<Tweedie>& ctx, const InnerFit& fit,
                                            const Tweedie& f, const PenaltyPieces& pc) {
  const std::size_t n = ctx.y.size();
  const double resid = static_cast<double>(n) - static_cast<double>(ctx.null_space_dim);
  const std::span<const double> w = weights_of(ctx);
  Vector g = analytic_shape_score_gradient(f, f.estimate_p, ctx.y, fit.mu, w, pc.dp, resid);
  if (f.estimate_p) {
    // ½∂log|H|/∂p = ½tr(H⁻¹XᵀW_pX), W_p,i = ∂W_i/∂p = −ln μ'_i·w_i·μ'_i^(2−p).
    const Working<Tweedie> work{f};
    Vector wp(n);
    for (std::size_t i = 0; i < n; ++i)
      wp[i] = -std::log(floor_at(fit.mu[i], kWorkFloor)) *
              work.fisher_weight(fit.mu[i], w.empty() ? 1.0 : w[i]);
    const Matrix a = xtwx(ctx.x.view(), wp.data());
    g[1] += 0.5 * frobenius_dot(pc.h_inv, a) * ((f.p - 1.0) * (2.0 - f.p));
  }
  return g;
}

void ShapeTraits<Tweedie>::pin_shape(const Tweedie& base, std::span<const double> tail,
                                     std::size_t m, Vector& grad, Matrix* hessian) {
  if (!base.estimate_p || tail.size() < 2) return;
  const std::size_t i = m + 1;
  const double p = raw_power(tail[1]);
  const bool outward =
      (p <= kTweediePowerLow && grad[i] > 0.0) || (p >= kTweediePowerHigh && grad[i] < 0.0);
  if (!outward) return;
  grad[i] = 0.0;
  if (hessian == nullptr) return;
  for (std::size_t k = 0; k < hessian->rows(); ++k) {
    (*hessian)(i, k) = 0.0;
    (*hessian)(k, i) = 0.0;
  }
}

ShapeStart ShapeTraits<Tweedie>::start(const FitContext<Tweedie>& ctx, const Tweedie& base,
                                       double) {
  const std::span<const double> w = weights_of(ctx);
  double wpos = 0.0;
  for (std::size_t i = 0; i < ctx.y.size(); ++i)
    if (ctx.y[i] > 0.0) wpos += w.empty() ? 1.0 : w[i];
  const double ybar = ctx.moments.mean, sd = ctx.moments.sd;
  const bool scaled = ybar > 0.0 && std::isfinite(ybar);
  // Pearson dispersion about ȳ at the starting power, or for a constant
  // response the dispersion that makes its variance ȳ².
  double phi =
      scaled ? (sd / std::pow(ybar, 0.5 * base.p)) * (sd / std::pow(ybar, 0.5 * base.p)) : 1.0;
  if (!(phi > 0.0 && std::isfinite(phi))) phi = scaled ? std::pow(ybar, 2.0 - base.p) : 1.0;
  const double centre = std::log(phi);
  ShapeStart s;
  s.tail_bounds = {{centre - kShapeHalfWidth, centre + kShapeHalfWidth}};
  const double own = std::log(base.phi);
  s.tail = {own >= s.tail_bounds[0].first && own <= s.tail_bounds[0].second ? own : centre};
  if (base.estimate_p) {
    s.tail_bounds.emplace_back(-kShapeHalfWidth, kShapeHalfWidth);
    s.tail.push_back(std::log((base.p - 1.0) / (2.0 - base.p)));
  }
  s.weight_level = scaled ? std::pow(ybar, 2.0 - base.p) : 1.0;
  s.score_origin = scaled ? wpos * std::log(ybar) : 0.0;
  return s;
}

QUELT_SHAPE_SCORE_INSTANTIATE(Tweedie)
QUELT_SHAPE_EVAL_INSTANTIATE(Tweedie)

}  // namespace quelt

#include "score/shape_ocat.hpp"

#include <cmath>

#include "core/blas.hpp"
#include "family/ocat.hpp"
#include "inner/full_newton.hpp"
#include "score/shape_eval_impl.hpp"
#include "score/shape_score_impl.hpp"
#include "score/shape_terms.hpp"

namespace quelt {

namespace {

std::span<const double> weights_of(const FitContext<Ocat>& ctx) {
  return ctx.prior_weights ? std::span<const double>(*ctx.prior_weights)
                           : std::span<const double>();
}

}  // namespace

Ocat ShapeTraits<Ocat>::decode(const Ocat& base, std::span<const double> tail) {
  const std::size_t s = gap_count(base);
  check_invariant(tail.size() >= s, "Ocat: the shape tail needs the R − 2 log gaps");
  return Ocat{Vector(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(s)), base.n_cats};
}

Result<InnerFit> ShapeTraits<Ocat>::inner_fit(const FitContext<Ocat>& ctx, const Ocat& f,
                                              std::span<const double> rho) {
  return full_newton_fit(ctx, f, rho);
}

Vector ShapeTraits<Ocat>::dev_eta3(const FitContext<Ocat>& ctx, const InnerFit& fit,
                                   const Ocat& f) {
  return ocat_obs_probs(f, ctx.y, fit.eta, weights_of(ctx)).dev_eta3;
}

Vector ShapeTraits<Ocat>::shape_gradient(const FitContext<Ocat>& ctx, const InnerFit& fit,
                                         const Ocat& f, const PenaltyPieces& pc) {
  const std::size_t s = gap_count(f), n = ctx.n();
  Vector g(s, 0.0);
  if (s == 0) return g;
  check_invariant(pc.h_inv.rows() == fit.p && fit.xtwx.has_value(),
                  "Ocat shape gradient: pieces without H⁻¹ or a fit without XᵀWX");
  const MatrixView x = ctx.x.view();
  const OcatObsDerivs d = ocat_obs_probs(f, ctx.y, fit.eta, weights_of(ctx));
  // The ridge scales read diagonals in the design's basis.
  const Vector diag = design_diagonal(ctx.rotation, *fit.xtwx);
  // ½log|H| moves with the weights through h_i = x_iᵀH⁻¹x_i and through the
  // factor's ridge ε·s′, s′ = |H_j*j*| the largest diagonal entry (when above
  // 1): ½ε·tr(H⁻¹)·x_ij*² per unit change of W_i, x_ij* the design's column.
  Vector lev = leverages(x, pc.h_inv);
  {
    std::vector<Vector> s_diag;
    for (std::size_t k = 0; k < ctx.m(); ++k)
      s_diag.push_back(penalty_design_diagonal(ctx.rotation, ctx.penalties[k], k));
    const std::size_t jstar = ridge_argmax(diag, s_diag, pc.lambda);
    double top = diag.empty() ? 0.0 : diag[jstar];
    for (std::size_t k = 0; k < ctx.m() && !diag.empty(); ++k)
      top += pc.lambda[k] * s_diag[k][jstar];
    if (std::fabs(top) > 1.0) {
      double t0 = 0.0;
      for (std::size_t a = 0; a < fit.p; ++a) t0 += pc.h_inv(a, a);
      const double c = full_newton_ridge(ctx.m()) * t0;
      const Vector xj = matvec(x, design_axis(ctx.rotation, jstar, fit.p));
      for (std::size_t i = 0; i < n; ++i) lev[i] += c * xj[i] * xj[i];
    }
  }
  // dβ_j = −½H⁻¹XᵀC_j for every gap at once, then dη = X·dβ.
  Matrix db = gemm(pc.h_inv.view(), gemm(x.t(), d.dev_theta_eta.view()).view());
  for (double& v : db.storage()) v *= -0.5;
  const Matrix deta = gemm(x, db.view());
  Vector n_sum(s, 0.0), h_sum(s, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = d.dev_eta3[i], h = lev[i];
    for (std::size_t j = 0; j < s; ++j) {
      n_sum[j] += d.dev_theta(i, j);
      h_sum[j] += h * (a * deta(i, j) + d.dev_theta_eta2(i, j));
    }
  }
  // β̂ solves ½∇D_p + ridge·β̂ = 0: ½D_p changes through β̂ by −ridge·β̂ᵀdβ_j.
  const double ridge = iteration_ridge(diag, ctx.m());
  for (std::size_t j = 0; j < s; ++j) {
    double bd = 0.0;
    for (std::size_t a = 0; a < fit.p; ++a) bd += fit.beta[a] * db(a, j);
    g[j] = 0.5 * n_sum[j] + 0.25 * h_sum[j] - ridge * bd;
  }
  return g;
}

ShapeStart ShapeTraits<Ocat>::start(const FitContext<Ocat>& ctx, const Ocat& base, double) {
  const std::size_t s = gap_count(base), n = ctx.n();
  ShapeStart st;
  st.tail = base.thresholds;
  st.tail_bounds.assign(s, {-kShapeHalfWidth, kShapeHalfWidth});
  // W̄: the weighted mean of ½d2 at the inner fit's start, over the rows of
  // positive weight.
  const Vector eta = full_newton_start(ctx, base);
  Vector d1(n), d2(n);
  ocat_eta_derivatives(base, ctx.y, eta, d1, d2);
  double num = 0.0, den = 0.0;
  const double* wp = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = wp ? wp[i] : 1.0;
    if (!(wi > 0.0)) continue;
    num += wi * 0.5 * d2[i];
    den += wi;
  }
  const double level = den > 0.0 ? num / den : 0.0;
  st.weight_level = level > 0.0 && std::isfinite(level) ? level : 1.0;
  st.score_origin = 0.0;
  return st;
}

QUELT_SHAPE_SCORE_INSTANTIATE(Ocat)
QUELT_SHAPE_EVAL_INSTANTIATE(Ocat)

}  // namespace quelt

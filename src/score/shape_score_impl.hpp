// Definitions of the shape-aware score (score/shape_score.hpp). A family's
// trait file includes this after its ShapeTraits specialisation and
// instantiates with QUELT_SHAPE_SCORE_INSTANTIATE(F).
#pragma once

#include <cmath>
#include <utility>
#include <vector>

#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "design/penalty_groups.hpp"
#include "score/shape_score.hpp"
#include "score/shape_terms.hpp"

namespace quelt {

namespace shape_detail {

// The ranks of the penalties as the family counts them when a penalty acts
// alone on its block.
template <class F>
std::vector<std::size_t> counted_ranks(const FitContext<F>& ctx) {
  std::vector<std::size_t> r(ctx.penalty_ranks.size());
  for (std::size_t k = 0; k < r.size(); ++k)
    r[k] = ShapeTraits<F>::rank_count(ctx.penalty_ranks[k]);
  return r;
}

template <class F>
PenaltyLogDet log_det_s(const FitContext<F>& ctx, std::span<const double> rho) {
  return penalty_log_det(ctx.penalties, counted_ranks(ctx), ctx.penalty_log_pdets,
                         ctx.penalty_groups, rho);
}

}  // namespace shape_detail

template <class F>
Result<ThetaRefit<F>> refit_at_theta(FitContext<F>& ctx, std::span<const double> theta) {
  const std::size_t m = ctx.m();
  check_invariant(theta.size() >= m, "refit_at_theta: theta shorter than the penalty list");
  F family = ShapeTraits<F>::decode(ctx.family, theta.subspan(m));
  QUELT_TRY(InnerFit fit, ShapeTraits<F>::inner_fit(ctx, family, theta.first(m)));
  ctx.fit_stats.inner_pirls_calls += 1;
  ctx.fit_stats.inner_pirls_iterations_total += static_cast<std::uint64_t>(fit.iterations);
  return ThetaRefit<F>{std::move(fit), std::move(family)};
}

template <class F>
PenaltyPieces shape_penalty_pieces(const FitContext<F>& ctx, const InnerFit& fit,
                                   std::span<const double> rho, bool derivatives) {
  check_invariant(rho.size() >= ctx.m(), "penalty_pieces: rho shorter than the penalty list");
  const std::vector<std::size_t> ranks = shape_detail::counted_ranks(ctx);
  return penalty_pieces(ctx, fit, rho.first(ctx.m()),
                        {.ranks = &ranks, .derivatives = derivatives});
}

template <class F>
double penalty_rank_total(const FitContext<F>& ctx) {
  const Vector zero(ctx.m(), 0.0);
  const PenaltyLogDet ld = shape_detail::log_det_s(ctx, zero);
  double total = 0.0;
  for (double g : ld.grad) total += g;
  return total;
}

template <class F>
double laml_score(const FitContext<F>& ctx, const InnerFit& fit, const F& family,
                  std::span<const double> rho, const PenaltyPieces& pc) {
  using Traits = ShapeTraits<F>;
  const double phi = Traits::dispersion(family);
  double log_det_h = 0.0;
  if constexpr (requires { Traits::log_det_h(ctx, fit, family, rho); })
    log_det_h = Traits::log_det_h(ctx, fit, family, rho);
  else if (fit.chol.rows() > 0)
    log_det_h = log_det_from_cholesky(fit.chol);
  const double mp = static_cast<double>(ctx.null_space_dim);
  const double ls = Traits::saturated_loglik(ctx, family);
  return 0.5 * log_det_h + pc.dp / (phi + phi) - 0.5 * mp * (kLogTwoPi + std::log(phi)) -
         0.5 * pc.log_det_s.value - ls;
}

template <class F>
double laml_score(const FitContext<F>& ctx, const InnerFit& fit, const F& family,
                  std::span<const double> rho) {
  return laml_score(ctx, fit, family, rho, shape_penalty_pieces(ctx, fit, rho, false));
}

template <class F>
Result<double> score_at(FitContext<F>& ctx, std::span<const double> theta) {
  QUELT_TRY(ThetaRefit<F> r, refit_at_theta(ctx, theta));
  const double v = laml_score(ctx, r.fit, r.family, theta.first(ctx.m()));
  ctx.scratch.give_fit(r.fit);
  return v;
}

template <class F>
Vector rho_gradient_core(const FitContext<F>& ctx, const InnerFit& fit, const F& family,
                         std::span<const double> rho, const PenaltyPieces& pc) {
  using Traits = ShapeTraits<F>;
  const std::size_t m = ctx.m();
  check_invariant(pc.trace.size() == m && pc.h_inv.rows() == fit.p,
                  "rho_gradient_core: pieces formed without derivatives");
  const double phi = Traits::dispersion(family);
  Vector g(m);
  for (std::size_t k = 0; k < m; ++k)
    g[k] = 0.5 * pc.lambda[k] * pc.bsb[k] / phi + 0.5 * pc.lambda[k] * pc.trace[k] -
           0.5 * pc.log_det_s.grad[k];
  if constexpr (requires { Traits::dev_eta3(ctx, fit, family); }) {
    check_invariant(fit.x.has_value(), "rho_gradient_core: inner fit without its model matrix");
    const Vector a = Traits::dev_eta3(ctx, fit, family);
    const Vector lev = leverages(*fit.x, pc.h_inv);
    const Vector u =
        weight_derivative_rho_terms(*fit.x, pc.h_inv, fit.beta, ctx.penalties, pc.lambda, a, lev);
    for (std::size_t k = 0; k < m; ++k) g[k] += 0.5 * u[k];
  }
  if constexpr (requires { requires Traits::kRidgeTerm; }) {
    // The ridge scales read diagonals in the design's basis.
    const Vector diag =
        design_diagonal(ctx.rotation, fit.xtwx ? *fit.xtwx : xtwx(ctx.x.view(), fit.w.data()));
    std::vector<Vector> s_diag;
    for (std::size_t k = 0; k < m; ++k)
      s_diag.push_back(penalty_design_diagonal(ctx.rotation, ctx.penalties[k], k));
    const Vector r = ridge_rho_terms(diag, pc.h_inv, s_diag, pc.lambda);
    const Vector e = ridge_envelope_rho_terms(diag, pc.h_inv, fit.beta, ctx.penalties, pc.lambda);
    for (std::size_t k = 0; k < m; ++k) g[k] += r[k] + e[k];
  }
  (void)rho;
  return g;
}

template <class F>
Result<std::pair<double, Vector>> laml_gradient(FitContext<F>& ctx, std::span<const double> theta) {
  const std::size_t m = ctx.m();
  QUELT_TRY(ThetaRefit<F> r, refit_at_theta(ctx, theta));
  const std::span<const double> rho = theta.first(m);
  const PenaltyPieces pc = shape_penalty_pieces(ctx, r.fit, rho, true);
  const double v = laml_score(ctx, r.fit, r.family, rho, pc);
  Vector g = rho_gradient_core(ctx, r.fit, r.family, rho, pc);
  const Vector gs = ShapeTraits<F>::shape_gradient(ctx, r.fit, r.family, pc);
  g.insert(g.end(), gs.begin(), gs.end());
  ctx.scratch.give_fit(r.fit);
  return std::pair<double, Vector>(v, std::move(g));
}

template <class F>
Vector eval_grad_frozen_beta(const FitContext<F>& ctx, std::span<const double> theta,
                             const ThetaRefit<F>& base, const PenaltyPieces& base_pieces) {
  using Traits = ShapeTraits<F>;
  const std::size_t m = ctx.m();
  check_invariant(theta.size() >= m, "eval_grad_frozen_beta: theta shorter than the penalty list");
  const std::span<const double> rho = theta.first(m);
  const F family = Traits::decode(ctx.family, theta.subspan(m));
  PenaltyPieces pc = base_pieces;
  pc.bsb_total = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    pc.lambda[k] = std::exp(rho[k]);
    pc.bsb_total += pc.lambda[k] * pc.bsb[k];
  }
  const InnerFit& fit = base.fit;
  double dev = fit.deviance;
  if constexpr (requires { family.deviance(ctx.y, fit.mu, std::span<const double>()); }) {
    const std::span<const double> w =
        ctx.prior_weights ? std::span<const double>(*ctx.prior_weights) : std::span<const double>();
    dev = family.deviance(ctx.y, fit.mu, w);
  }
  pc.dp = dev + pc.bsb_total;
  pc.log_det_s = shape_detail::log_det_s(ctx, rho);
  Vector g = rho_gradient_core(ctx, fit, family, rho, pc);
  const Vector gs = Traits::shape_gradient(ctx, fit, family, pc);
  g.insert(g.end(), gs.begin(), gs.end());
  return g;
}

#define QUELT_SHAPE_SCORE_INSTANTIATE(F)                                                     \
  template Result<ThetaRefit<F>> refit_at_theta<F>(FitContext<F>&, std::span<const double>); \
  template double penalty_rank_total<F>(const FitContext<F>&);                               \
  template PenaltyPieces shape_penalty_pieces<F>(const FitContext<F>&, const InnerFit&,      \
                                                 std::span<const double>, bool);             \
  template double laml_score<F>(const FitContext<F>&, const InnerFit&, const F&,             \
                                std::span<const double>, const PenaltyPieces&);              \
  template double laml_score<F>(const FitContext<F>&, const InnerFit&, const F&,             \
                                std::span<const double>);                                    \
  template Result<double> score_at<F>(FitContext<F>&, std::span<const double>);              \
  template Vector rho_gradient_core<F>(const FitContext<F>&, const InnerFit&, const F&,      \
                                       std::span<const double>, const PenaltyPieces&);       \
  template Result<std::pair<double, Vector>> laml_gradient<F>(FitContext<F>&,                \
                                                              std::span<const double>);      \
  template Vector eval_grad_frozen_beta<F>(const FitContext<F>&, std::span<const double>,    \
                                           const ThetaRefit<F>&, const PenaltyPieces&);

}  // namespace quelt

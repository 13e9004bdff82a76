#include "score/elf_score.hpp"

#include <cmath>
#include <vector>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "design/penalty_groups.hpp"
#include "family/elf.hpp"
#include "inner/elf_fit.hpp"
#include "score/penalty_pieces.hpp"
#include "score/reml_hessian.hpp"
#include "score/row_forms.hpp"

namespace quelt {

namespace {

// W = Σ_i a_i (n without prior weights).
double total_weight(const FitContext<Elf>& ctx) {
  if (!ctx.prior_weights) return static_cast<double>(ctx.y.size());
  double w = 0.0;
  for (double a : *ctx.prior_weights) w += a;
  return w;
}

Matrix analytic_hessian(const FitContext<Elf>& ctx, const InnerFit& fit, const EnvelopeScore& es) {
  const std::size_t m = ctx.m(), p = fit.p;
  const Matrix& h_inv = es.h_inv;
  const Vector& lam = es.lambda;
  std::vector<Vector> u(m), v(m);
  for (std::size_t j = 0; j < m; ++j) {
    u[j] = small_matvec(ctx.penalties[j], fit.beta);
    v[j] = small_matvec(h_inv, u[j]);
  }

  // s(j, k) = Σ_i w'_i·η_j[i]·q_k[i], η_j = −λ_j·Xv_j.
  Matrix s(m, m);
  if (fit.dw_deta && fit.x && p > 0 && m > 0) {
    const MatrixView x = *fit.x;
    const Vector& wd = *fit.dw_deta;
    const std::vector<Vector> q = penalty_row_forms(x, h_inv, ctx.penalties);
    for (std::size_t j = 0; j < m; ++j) {
      const Vector xv = matvec(x, v[j]);
      for (std::size_t k = 0; k < m; ++k) {
        double acc = 0.0;
        for (std::size_t i = 0; i < x.rows; ++i) acc += wd[i] * (-lam[j] * xv[i]) * q[k][i];
        s(j, k) = acc;
      }
    }
  }
  return reml_hessian({ctx.penalties,
                       h_inv,
                       lam,
                       es.trace_per_term,
                       es.bsb_per_term,
                       u,
                       v,
                       s,
                       1.0,
                       {},
                       es.log_det_s_hessian});
}

}  // namespace

Result<InnerFit> fit_at_rho(const FitContext<Elf>& ctx, std::span<const double> rho,
                            const std::optional<Vector>&) {
  return fit_elf_armijo(ctx, rho);
}

Result<EnvelopeScore> envelope_score(const FitContext<Elf>& ctx, std::span<const double> rho,
                                     const InnerFit& fit) {
  const std::size_t m = ctx.m();
  check_invariant(rho.size() >= m && fit.beta.size() == fit.p && fit.chol.rows() == fit.p,
                  "ELF score: rho, coefficients or factor do not match the context");
  PenaltyPieces pc = penalty_pieces(ctx, fit, rho);
  const double log_det_h = fit.chol.rows() == 0 ? 0.0 : log_det_from_cholesky(fit.chol);
  const PenaltyLogDet& ld = pc.log_det_s;
  const Elf& f = ctx.family;
  const double ls = total_weight(ctx) * elf_log_normaliser(f.tau, f.sigma, f.lambda);
  const double mp = static_cast<double>(ctx.null_space_dim);

  EnvelopeScore es;
  es.score = pc.dp * 0.5 + (mp / 2.0) * (-kLogTwoPi);
  es.score = es.score + log_det_h / 2.0 - ld.value / 2.0 - ls;
  es.grad.resize(m);
  for (std::size_t j = 0; j < m; ++j)
    es.grad[j] =
        0.5 * pc.lambda[j] * pc.bsb[j] + 0.5 * pc.lambda[j] * pc.trace[j] - 0.5 * ld.grad[j];
  es.lambda = std::move(pc.lambda);
  es.bsb_per_term = std::move(pc.bsb);
  es.trace_per_term = std::move(pc.trace);
  es.h_inv = std::move(pc.h_inv);
  es.dscale_drho = Vector(m, 0.0);
  es.scale = 1.0;
  es.fd_hessian = false;
  es.log_det_s_hessian = std::move(pc.log_det_s.hessian);
  return es;
}

Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior) {
  std::optional<InnerFit> taken = take_prior_fit(prior, rho, std::nullopt);
  if (!taken) {
    QUELT_TRY(InnerFit fresh, fit_at_rho(ctx, rho));
    taken = std::move(fresh);
  }
  InnerFit& fit = *taken;
  ctx.fit_stats.inner_pirls_calls += 1;
  ctx.fit_stats.inner_pirls_iterations_total += static_cast<std::uint64_t>(fit.iterations);
  QUELT_TRY(EnvelopeScore es, envelope_score(ctx, rho, fit));
  OuterEval out;
  out.hessian = analytic_hessian(ctx, fit, es);
  ctx.scratch.give_fit(fit);
  out.grad = std::move(es.grad);
  out.score = es.score;
  return out;
}

Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho) {
  std::optional<PriorFit> none;
  return envelope_eval(ctx, rho, none);
}

}  // namespace quelt

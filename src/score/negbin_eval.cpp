#include "score/negbin_eval.hpp"

#include <cmath>
#include <utility>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "score/ift_hessian.hpp"
#include "score/shape_negbin.hpp"
#include "score/shape_score.hpp"

namespace quelt {

Result<NegBinEval> negbin_eval_score_grad_hess(FitContext<NegBin>& ctx,
                                               std::span<const double> theta) {
  const std::size_t m = ctx.m(), p = ctx.p();
  check_invariant(theta.size() == m + 1, "negbin_eval_score_grad_hess: theta needs m + 1 entries");
  QUELT_TRY(ThetaRefit<NegBin> r, refit_at_theta(ctx, theta));
  InnerFit& fit = r.fit;
  check_invariant(fit.x.has_value(), "negbin_eval_score_grad_hess: inner fit without its matrix");
  // The refit's weights are the observed weights at its θ: its XᵀWX is H's.
  if (!fit.xtwx) fit.xtwx = xtwx(ctx.x.view(), fit.w.data());
  const std::span<const double> rho = theta.first(m);
  const Matrix s = total_penalty(ctx.penalties, rho, p);
  const std::optional<Matrix> l = negbin_hessian_factor(ctx, fit, r.family.theta, s);

  PenaltyPieces pc = shape_penalty_pieces(ctx, fit, rho, false);
  pc.h_inv = inverse_from_cholesky(l ? l->view() : fit.chol.view());
  pc.trace.resize(m);
  for (std::size_t k = 0; k < m; ++k) pc.trace[k] = frobenius_dot(pc.h_inv, ctx.penalties[k]);

  NegBinEval out;
  out.score = laml_score(ctx, fit, r.family, rho, pc);
  out.grad = rho_gradient_core(ctx, fit, r.family, rho, pc);
  const Vector dev_grad = neg2_weighted_residual(*fit.x, fit.w, fit.z, fit.beta);
  out.hessian = hess_ift({ctx.penalties, pc.lambda, fit.beta, pc.h_inv, *fit.xtwx, dev_grad, 1.0});
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = 0; k < m; ++k) out.hessian(j, k) -= 0.5 * pc.log_det_s.hessian(j, k);

  WarmStartCache cache;
  cache.lambda = pc.lambda;
  cache.beta = fit.beta;
  cache.dbeta_drho = Matrix(p, m);
  for (std::size_t k = 0; k < m; ++k) {
    Vector sb(p, 0.0);
    for (std::size_t a = 0; a < p; ++a) {
      const double* row = ctx.penalties[k].row_ptr(a);
      for (std::size_t b = 0; b < p; ++b) sb[a] += row[b] * fit.beta[b];
    }
    for (std::size_t a = 0; a < p; ++a) {
      const double* row = pc.h_inv.row_ptr(a);
      double acc = 0.0;
      for (std::size_t b = 0; b < p; ++b) acc += row[b] * sb[b];
      cache.dbeta_drho(a, k) = -pc.lambda[k] * acc;
    }
  }
  cache.shape_tail.assign(theta.begin() + static_cast<std::ptrdiff_t>(m), theta.end());
  {
    const WarmStartCell::Exclusive cell = ctx.warm_start.borrow_mut();
    *cell = std::move(cache);
  }
  out.fit = std::move(fit);
  return out;
}

}  // namespace quelt

// The REML score of the quantile (ELF) family over the log smoothing
// parameters rho, with its gradient and Hessian.
//
// At the fit of fit_elf_armijo (beta, H = X^T diag(a h) X + S_lambda, loss
// D = sum_i a_i d_i, prior weights a_i as frequency weights) the score, with
// the scale fixed at 1, is the Laplace approximation
//
//   V(rho) = 1/2 log|H| + D_p/2 - (Mp/2) ln 2 pi - 1/2 log|S_lambda|_+ - W kappa,
//
// D_p = D + sum_j lambda_j b_j (b_j = beta^T S_j beta), W = sum_i a_i and
// kappa the log normaliser of the ELF density (family/elf.hpp). The gradient
// takes beta by the envelope theorem and leaves out the change of H through
// the curvature weights h (it moves the optimum of rho by well under 1e-3):
//
//   dV/drho_j = 1/2 lambda_j b_j + 1/2 lambda_j t_j - 1/2 d log|S_lambda|_+/drho_j,
//
// t_j = tr(H^{-1} S_j). The Hessian is the derivative of that gradient,
// with dbeta/drho_k = -lambda_k H^{-1} S_k beta (H is the exact Hessian of
// f/2, so this is the implicit derivative of the fit):
//
//   H_jk = 1/2 (delta_jk lambda_j t_j - lambda_j lambda_k tr(H^{-1}S_j H^{-1}S_k))
//        + E_jk + 1/2 delta_jk lambda_j b_j - lambda_j lambda_k (S_j beta)^T H^{-1} S_k beta
//        - 1/2 d^2 log|S_lambda|_+/drho_j drho_k,
//
// E_jk = -1/4 (lambda_k s_jk + lambda_j s_kj), s_jk = sum_i w'_i eta_j[i] q_k[i]:
// the change of 1/2 lambda tr(H^{-1} S) through the weights, w' = dw/deta of
// the fit, eta_j = -lambda_j X H^{-1} S_j beta, q_k[i] = x_i^T H^{-1} S_k H^{-1} x_i.
#pragma once

#include <optional>
#include <span>

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/envelope.hpp"

namespace quelt {

// The score record of `fit`, the ELF fit at rho (at least m entries):
// grad, score, lambda, b_j, t_j, dscale_drho = m zeros, h_inv, scale 1.
Result<EnvelopeScore> envelope_score(const FitContext<Elf>& ctx, std::span<const double> rho,
                                     const InnerFit& fit);

// One outer evaluation at rho: the ELF fit (from the context's beta_start),
// counted in inner_pirls_calls and inner_pirls_iterations_total, its score
// and the analytic Hessian. A `prior` fit made at the same rho (to the bit)
// is taken over instead of fitting again, and counted the same way. Errors of
// the fit are returned unchanged, before anything is counted.
Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior);
Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho);

}  // namespace quelt

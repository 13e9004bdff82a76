// Penalized Newton fit of the quantile (ELF) family at fixed log smoothing
// parameters rho.
//
// Minimises, with prior weights a_i used as frequency weights (absent: 1),
//
//   f(beta) = sum_i a_i d_i(y_i - x_i^T beta) + beta^T S_lambda beta,
//
// d_i the ELF loss of family/elf.hpp and S_lambda = sum_j exp(rho_j) S_j.
// Rows of weight 0 do not enter f at all, so they equal absent rows.
//
// Each iteration, at eta = X beta with p_i, g_i, h_i of family/elf.hpp:
//   H = X^T diag(a h) X + S_lambda;
//   the Newton increment d = (H + r I)^{-1} (X^T (a g) - S_lambda beta),
//     r = 1e-7 max(1, max_j |H_jj|): the ridge only damps the step, so the
//     fit stops where the gradient of f is zero;
//   the cap: when max_i |x_i^T d| exceeds max_i |y_i - eta_i| + lambda (rows
//     of positive weight), d is scaled down to that bound, since no move of
//     a linear predictor past every residual lowers f;
//   backtracking: beta + t d for t = 1, 1/2, ... (at most max_backtrack
//     trials) until f is finite and at most f(beta) + 1e-10.
// The fit converges when an accepted move changes no coefficient by tol or
// more (tested from the first iteration). When no trial is accepted the fit
// stops at beta and is converged only if the full step d was already below
// tol in every coefficient. The iteration limit ends it unconverged.
//
// The record: beta, eta = mu = X beta; w_i = a_i p_i (1 - p_i) / (lambda
// sigma) and z_i = eta_i + g_i / (p_i (1 - p_i) / (lambda sigma)) (z_i = eta_i
// where that weight is at most 1e-12); chol the factor of the H of the last
// iteration that moved beta (formed before the move), or of X^T diag(w) X +
// S_lambda when none did, with the ridge r I only when that matrix is not
// positive definite; deviance = weighted_rss =
// sum_i a_i d_i; dw_deta_i = a_i dh/deta; x a view of the context's model
// matrix; iterations counts the Newton solves.
#pragma once

#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// The fit from the context's beta_start (zeros when absent).
// Errors, InvalidParameter: "ELF τ must be in (0, 1); got {}" unless
// 0 < tau < 1; "ELF σ and λ must be > 0; got σ={} λ={}" unless both are
// greater than 0 (NaN fails). SingularSystem: "ELF Cholesky: {}" when a Newton
// system cannot be factored, "Cholesky failed: {}" for the final factor.
Result<InnerFit> fit_elf_armijo(const FitContext<Elf>& ctx, std::span<const double> rho);

// f(beta) at the total penalty s_lambda (p x p); +inf as soon as a term
// a_i d_i is not finite.
double elf_penalized_objective(const FitContext<Elf>& ctx, const Matrix& s_lambda,
                               std::span<const double> beta);

}  // namespace quelt

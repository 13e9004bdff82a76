// Penalized Newton fit of the quantile (ELF) family at fixed log smoothing
// parameters ρ.
//
// Minimises, with the prior weights a_i used as frequency weights (absent:
// 1),
//
//   f(β) = Σ_i a_i·d_i(y_i − x_iᵀβ) + βᵀS_λβ,
//
// d_i the ELF loss of family/elf.hpp and S_λ = Σ_j exp(ρ_j)·S_j. Rows of
// weight 0 do not enter f at all, so they equal absent rows. The loss of each
// of the context's far rows is measured from its origin, d_i − d_i(y_i − η⁰_i)
// (elf_loss_change): f and the deviance below are less Σ_far a_i·d_i(y_i −
// η⁰_i), a constant, so the fit is the same, while the backtracking test
// still sees the other rows' loss next to a response far beyond them.
//
// Each iteration, at η = Xβ with p_i, g_i, h_i of family/elf.hpp:
//   H = Xᵀdiag(a·h)X + S_λ;
//   the Newton increment d = (H + rI)⁻¹(Xᵀ(a·g) − S_λβ),
//     r = 1e-7·max(1, max_j |H_jj|): the ridge only damps the step, so the
//     fit stops where the gradient of f is zero;
//   the cap: when max_i |x_iᵀd| exceeds max_i |y_i − η_i| + λ (rows of
//     positive weight), d is scaled down to that bound, since no move of
//     the linear predictor past every residual lowers f;
//   backtracking: β + t·d for t = 1, 1/2, … (at most max_backtrack trials)
//     until f is finite and at most f(β) + 1e-10.
// The fit converges when an accepted move changes no coefficient by tol or
// more (tested from the first iteration). When no trial is accepted the fit
// stops at β and is converged only if the full step d was already below tol
// in every coefficient. The iteration limit ends it unconverged.
//
// The record: β, η = μ = Xβ; w_i = a_i·p_i(1−p_i)/(λσ) and
// z_i = η_i + g_i/(p_i(1−p_i)/(λσ)) (z_i = η_i where that weight is at most
// 1e-12); chol the factor of the H of the last iteration that moved β
// (formed before the move), or of Xᵀdiag(w)X + S_λ when none did, with the
// ridge rI only when that matrix is not positive definite; deviance =
// weighted_rss = Σ_i a_i·d_i; dw_deta_i = a_i·∂h/∂η; x a view of the
// context's model matrix; iterations counts the Newton solves.
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
// 0 < τ < 1; "ELF σ and λ must be > 0; got σ={} λ={}" unless both are
// greater than 0 (NaN fails). SingularSystem: "ELF Cholesky: {}" when a Newton
// system cannot be factored, "Cholesky failed: {}" for the final factor.
Result<InnerFit> fit_elf_armijo(const FitContext<Elf>& ctx, std::span<const double> rho);

// f(β) at the total penalty S_λ = s_lambda (p x p); +∞ as soon as a term
// a_i·d_i is not finite.
double elf_penalized_objective(const FitContext<Elf>& ctx, const Matrix& s_lambda,
                               std::span<const double> beta);

}  // namespace quelt

// The inner fit of the ordered-categorical family: a penalized Newton
// iteration on the ordinal deviance at given log smoothing parameters ρ and
// given log-gap thresholds (family/ocat.hpp).
//
// Objective Q(β) = D(Xβ) + βᵀS_λβ, D = −2·Σ_i w_i·ln P′_i (prior weights as
// frequency weights), S_λ = Σ_j e^(ρ_j)·S_j. With d1, d2 the derivatives of
// −2·ln P′_i in η_i, each iteration solves
//   (XᵀWX + S_λ + ε·s·I)·β_new = XᵀWz,
//   W_i = max(½·w_i·d2_i, 1e-12),  z_i = η_i − d1_i / max(d2_i, 1e-12),
// the Newton step of Q/2 (observed information) with a ridge ε·s,
// ε = (√m + 1)·1e-5 (m penalties) and s = max(1, max_j |(XᵀWX)_jj|), the
// diagonal read in the design's basis (inner/coefficient_rotation.hpp). Its
// fixed point is therefore the stationary point of Q/2 + ½ε·s·|β|², a shade
// off that of Q. A trial whose Q is not finite, or whose η is not, or (from
// the second iteration) that raises Q by more than
// thr = (|Q_old| + 0.1)·10·2⁻²⁶, is halved toward the previous coefficients
// up to 100 times; a step still rejected then is abandoned (β restored, η =
// Xβ). The loop ends converged when an accepted step of an iteration after
// the first moves no coefficient by tol or more.
//
// β starts at 0 and η at the middle of each observation's cell, the open
// ends replaced by −2 (first category) and by the last finite cut point + 1
// (last category); the context's eta_start (n entries or one broadcast)
// replaces it.
//
// The record at the final η: w and z as above, mu = eta (identity link),
// deviance = D, weighted_rss = Σ_i W_i(z_i − η_i)², xtwx = XᵀWX, x = the
// context's model matrix, and chol the factor of
//   XᵀWX + S_λ + ε·s′·I,   s′ = max(1, max_j |(XᵀWX + S_λ)_jj|)
// (this ridge scale includes the penalty). dw_deta is absent. `iterations`
// counts the Newton iterations (a converged fit reports at least 2).
// Errors: SingularSystem "Cholesky failed: {}" when a system does not factor.
#pragma once

#include <span>

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// ε of the ridge above for m penalties.
double full_newton_ridge(std::size_t m);

// The start η above for the cut points of `family`.
Vector full_newton_start(const FitContext<Ocat>& ctx, const Ocat& family);

// The fit at ρ (at least ctx.m() entries) with the thresholds of `family`;
// the context supplies the data, penalties and InnerOptions (max_iter, tol).
Result<InnerFit> full_newton_fit(const FitContext<Ocat>& ctx, const Ocat& family,
                                 std::span<const double> rho);

}  // namespace quelt

// Full-Newton terms of the inverse-Gaussian REML score.
//
// The inverse-Gaussian score takes log|H_N| of the observed-information
// Hessian H_N = Xᵀdiag(W)X + S_λ with the full-Newton weights
//   W_i = w_i·μ_i²/V·α_i,  α_i = 1 + (y_i − μ_i)(V'/V + g''/g')
// (log link, V = μ³), and adds to its gradient the part of ∂log|H_N|/∂ρ_j
// that comes from the weights' dependence on η:
//   k_j = Σ_i ∂W_i/∂η_i·(∂η_i/∂ρ_j)·x_iᵀH_N⁻¹x_i,
// with ∂η/∂ρ_j = −λ_j X H_N⁻¹S_jβ. Neither operation
// reports an error: each yields nothing when its weights or matrix are
// unusable, and the score falls back.
#pragma once

#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// W_i at the fit's means (prior weights included; no floor, no fallback:
// W_i may be zero or negative).
Vector newton_weights(const FitContext<InverseGaussian>& ctx, const InnerFit& fit);

// log|H_N| from the Cholesky factor, or when H_N is not positive definite
// sum ln|eigenvalue|; nothing when a weight is not finite or a pivot or
// eigenvalue is non-finite or below 1e-300 in magnitude.
std::optional<double> newton_log_det_h(const FitContext<InverseGaussian>& ctx,
                                       std::span<const double> rho, const InnerFit& fit);

// The weight terms k_j and the traces tr(H_N⁻¹S_j): with both, the
// derivative of log|H_N| along ρ_j is λ_j tr(H_N⁻¹S_j) + k_j.
struct NewtonGradientTerms {
  Vector k;      // m
  Vector trace;  // m
};

// The terms at the fit; nothing when a weight is not finite or H_N cannot
// be inverted (failed factorization and a non-finite or tiny eigenvalue).
std::optional<NewtonGradientTerms> newton_weight_gradient_terms(
    const FitContext<InverseGaussian>& ctx, std::span<const double> rho, const InnerFit& fit);

}  // namespace quelt

// Full-Newton terms of the inverse-Gaussian REML score.
//
// The inverse-Gaussian score takes log|H_N| of the observed-information
// Hessian H_N = X^T diag(W) X + S_lambda with the full-Newton weights
//   W_i = w_i mu_i^2/V * alpha_i,  alpha_i = 1 + (y_i - mu_i)(V'/V + g''/g')
// (log link, V = mu^3), and adds to its gradient the part of d log|H_N|/drho_j
// that comes from the weights' dependence on eta:
//   k_j = sum_i dW_i/deta_i * (d eta_i/drho_j) * x_i^T H_N^{-1} x_i,
// with d eta/drho_j = -lambda_j X H_N^{-1} S_j beta. Neither operation
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

// The weight terms k_j and the traces tr(H_N^{-1} S_j): with both, the
// derivative of log|H_N| along rho_j is lambda_j tr(H_N^{-1} S_j) + k_j.
struct NewtonGradientTerms {
  Vector k;      // m
  Vector trace;  // m
};

// The terms at the fit; nothing when a weight is not finite or H_N cannot
// be inverted (failed factorization and a non-finite or tiny eigenvalue).
std::optional<NewtonGradientTerms> newton_weight_gradient_terms(
    const FitContext<InverseGaussian>& ctx, std::span<const double> rho, const InnerFit& fit);

}  // namespace quelt

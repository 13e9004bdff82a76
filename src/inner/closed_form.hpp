// The closed-form fit of the Gaussian identity model.
#pragma once

#include <span>

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// beta = (X^T W X + S_lambda)^{-1} X^T W y from the context's xtwx and xtwy
// (W the prior weights), S_lambda = sum_j exp(rho_j) S_j. The record has
// eta = mu = X beta, w = the prior weights (or ones), z = y, chol the factor
// of xtwx + S_lambda itself (beta comes from the slightly ridged solve),
// deviance = weighted_rss = sum_i w_i (y_i - mu_i)^2, iterations 1,
// converged true, and neither dw_deta nor x. A failed factorization is
// returned unchanged (SingularSystem "Cholesky failed: {}").
Result<InnerFit> solve_closed_form_gaussian(const FitContext<Gaussian>& ctx,
                                            std::span<const double> rho);

}  // namespace quelt

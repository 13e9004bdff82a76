// The closed-form fit of the Gaussian identity model.
#pragma once

#include <span>

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// β = (XᵀWX + S_λ)⁻¹XᵀWy from the context's xtwx and xtwy (W the prior
// weights), S_λ = Σ_j exp(ρ_j) S_j, in the basis of the penalties; the
// record has η = μ = X·(Uβ) with the context's rotation U, w = the
// prior weights (or ones), z = y, chol the factor of xtwx + S_λ itself (β
// comes from the slightly ridged solve of chol_solve_penalized),
// deviance = weighted_rss = Σ_i w_i (y_i − μ_i)², iterations 1,
// converged true, and neither dw_deta nor x. A failed factorization is
// returned unchanged (SingularSystem "Cholesky failed: {}").
Result<InnerFit> solve_closed_form_gaussian(const FitContext<Gaussian>& ctx,
                                            std::span<const double> rho);

}  // namespace quelt

// One full evaluation of the negative binomial search at θ = [ρ, log θ]:
// refit, score, ρ-gradient and the ρ–ρ block of the Hessian, leaving the
// coefficients' first-order extrapolation in the context for the next trials.
//
// With H = XᵀWX + S_λ at the observed weights of the refit (its factor from
// negbin_hessian_factor, the refit's own factor when that is absent), β̂ the
// refit's coefficients and λ_k = exp(ρ_k):
//   score   V of score/shape_negbin.hpp (laml_score);
//   grad_k  ½λ_k β̂ᵀS_kβ̂ + ½λ_k tr(H⁻¹S_k) + ½Σ_i (∂W_i/∂η_i)(dη_i/dρ_k)h_i
//           − ½∂log|S_λ|₊/∂ρ_k,  dη/dρ_k = −λ_k X H⁻¹S_kβ̂,  h_i = x_iᵀH⁻¹x_i;
//   hessian hess_ift at the refit's W, z and β̂ with H⁻¹ as above, minus
//           ½∂²log|S_λ|₊ where penalties share a block (the change of W with
//           ρ left out).
// Nothing is returned for log θ: its derivatives come from differences of the
// frozen-fit score on `fit` (negbin_score_at_theta).
//
// After a successful evaluation the context's warm-start cell holds λ, the
// shape tail [log θ], β̂ and dβ/dρ_k = −λ_k H⁻¹S_kβ̂. A failed refit returns
// its error and leaves the cell as it was.
#pragma once

#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

struct NegBinEval {
  Vector grad;     // m: ∂V/∂ρ
  Matrix hessian;  // m x m, exactly symmetric
  double score = 0.0;
  InnerFit fit;  // the refit, with its XᵀWX formed
};

Result<NegBinEval> negbin_eval_score_grad_hess(FitContext<NegBin>& ctx,
                                               std::span<const double> theta);

}  // namespace quelt

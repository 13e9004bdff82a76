// The REML score of the quantile (ELF) family over the log smoothing
// parameters ρ, with its gradient and Hessian.
//
// At the fit of fit_elf_armijo (β, H = Xᵀdiag(a·h)X + S_λ, loss
// D = Σ_i a_i·d_i, the prior weights a_i as frequency weights) the score,
// with the scale fixed at 1, is the Laplace approximation
//
//   V(ρ) = ½ log|H| + D_p/2 − (Mp/2)·ln 2π − ½ log|S_λ|₊ − W·κ,
//
// D_p = D + Σ_j λ_j b_j (b_j = βᵀS_jβ), W = Σ_i a_i and κ the log normaliser
// of the ELF density (family/elf.hpp). D is the fit's deviance, so that V is
// less ½Σ_far a_i·d_i(y_i − η⁰_i) when the context holds far rows
// (inner/elf_fit.hpp). The gradient takes β by the envelope
// theorem and leaves out the change of H through the curvature weights h (it
// moves the optimum of ρ by well under 1e-3):
//
//   ∂V/∂ρ_j = ½ λ_j b_j + ½ λ_j t_j − ½ ∂log|S_λ|₊/∂ρ_j,   t_j = tr(H⁻¹S_j).
//
// The Hessian is the derivative of that gradient (score/reml_hessian.hpp
// with φ = 1 fixed), with dβ/dρ_k = −λ_k H⁻¹S_kβ (H is the exact Hessian of
// f/2, so this is the implicit derivative of the fit), the change of
// ½λ tr(H⁻¹S) through the curvature weights included.
#pragma once

#include <optional>
#include <span>

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/score_record.hpp"

namespace quelt {

// The inner fit at ρ: fit_elf_armijo from the context's beta_start. The
// family has no warm start, so beta0 is never given (it is ignored).
Result<InnerFit> fit_at_rho(const FitContext<Elf>& ctx, std::span<const double> rho,
                            const std::optional<Vector>& beta0 = std::nullopt);

// The score record of `fit`, the ELF fit at ρ (at least m entries): grad,
// score, lambda, b_j, t_j, dscale_drho = m zeros, h_inv, scale 1.
Result<EnvelopeScore> envelope_score(const FitContext<Elf>& ctx, std::span<const double> rho,
                                     const InnerFit& fit);

// One outer evaluation at ρ: the ELF fit (from the context's beta_start),
// counted in inner_pirls_calls and inner_pirls_iterations_total, its score
// and the analytic Hessian. A `prior` fit made at the same ρ (to the bit)
// is taken over instead of fitting again, and counted the same way. Errors of
// the fit are returned unchanged, before anything is counted.
Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior);
Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho);

}  // namespace quelt

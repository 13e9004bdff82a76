// A prediction of the negative binomial score at a line-search trial
// u = [ρ, log θ] without refitting, from the coefficients the last full
// evaluation left in the context's warm-start cell.
//
// With the cached point's β̃, λ̃ and dβ/dρ, the coefficients are extrapolated
// to β₀ = β̃ + Σ_j ln(λ_j/λ̃_j)·dβ/dρ_j; one penalized least-squares step at
// the observed working weights and responses of β₀,
//   (XᵀWX + S_λ + Δ)β₁ = XᵀWz,   Δ the relative ridge of XᵀWX + S_λ,
// gives β₁, and the score is laml_score at β₁: the weighted deviance of its
// means, ½log|H| at its observed weights (the step's factor when those cannot
// be factored), the penalty and the saturated log-likelihood at u.
//
// The optimiser uses the prediction only to reject a trial without a refit;
// a trial with a prediction below its threshold, or without one, is refitted.
#pragma once

#include <optional>
#include <span>

#include "family/families.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

// The predicted score, or nothing: u does not have m + 1 entries, the cell is
// empty or was written at another log θ or another m, the extrapolation, a
// mean, the deviance or the score is not finite, or the step's system cannot
// be factored. Reads the cell shared; changes nothing and counts nothing.
std::optional<double> no_refresh_trial_score(const FitContext<NegBin>& ctx,
                                             std::span<const double> u);

}  // namespace quelt

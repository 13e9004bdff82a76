// First-order warm start of the inner fit from the previous REML
// evaluation (the WarmStartCache in the context's cell, written by
// envelope_eval for the families with Family::uses_warm_start).
#pragma once

#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

// β₀ = β̃ + Σ_j r_j·∂β/∂ρ_j with r_j = ln(max(exp ρ_j, 1e-300) /
// max(λ̃_j, 1e-300)) (a NaN side counts as 1e-300), from the cached point
// (λ̃, β̃, dbeta_drho). Absent when ρ does not have m entries, the cell is
// empty or its λ̃ has another length, some r_j is not finite, or some entry
// of β₀ is not finite. Takes the cell for shared use; changes nothing.
std::optional<Vector> warm_start_beta(const WarmStartCell& cell, std::size_t m,
                                      std::span<const double> rho);

template <class Family>
std::optional<Vector> envelope_warm_start_beta(const FitContext<Family>& ctx,
                                               std::span<const double> rho) {
  return warm_start_beta(ctx.warm_start, ctx.penalties.size(), rho);
}

}  // namespace quelt

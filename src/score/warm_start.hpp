// First-order warm start of the inner fit from the previous REML
// evaluation (the WarmStartCache in the context's cell, written by
// envelope_eval for the families with Family::uses_warm_start).
#pragma once

#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

// beta0 = beta~ + sum_j r_j dbeta_drho[:, j] with r_j = ln(max(exp rho_j,
// 1e-300) / max(lambda~_j, 1e-300)) (a NaN side counts as 1e-300), from the
// cached point (lambda~, beta~, dbeta_drho). Absent when rho does not have
// m entries, the cell is empty or its lambda has another length, some r_j is
// not finite, or some entry of beta0 is not finite. Takes the cell for
// shared use; changes nothing.
std::optional<Vector> warm_start_beta(const WarmStartCell& cell, std::size_t m,
                                      std::span<const double> rho);

template <class Family>
std::optional<Vector> envelope_warm_start_beta(const FitContext<Family>& ctx,
                                               std::span<const double> rho) {
  return warm_start_beta(ctx.warm_start, ctx.penalties.size(), rho);
}

}  // namespace quelt

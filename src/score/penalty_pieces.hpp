// The per-penalty pieces of a REML score at an inner fit.
//
// At a fit with coefficients β, deviance D and penalized Hessian H (from the
// fit's Cholesky factor), made at the log smoothing parameters ρ:
//
//   λ_j = exp(ρ_j),   b_j = βᵀS_jβ,   D_p = D + Σ_j λ_j b_j,
//   log|S_λ|₊ with its gradient and Hessian over ρ (design/penalty_groups.hpp),
//   H⁻¹,              t_j = tr(H⁻¹S_j) = Σ_ac (H⁻¹)_ac (S_j)_ac (both symmetric),
//
// the pieces from which every score over ρ forms its penalized deviance, its
// gradient λ_j b_j/(2φ) + ½λ_j t_j − ½∂log|S_λ|₊/∂ρ_j and its Hessian
// (score/reml_hessian.hpp). Σ_j λ_j t_j is the part of p that the penalties
// take: p − Σ_j λ_j t_j = tr(H⁻¹XᵀWX), the effective degrees of freedom.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "design/penalty_groups.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

struct PenaltyPieces {
  Vector lambda;           // λ = exp(ρ), one per entry of ρ
  Vector bsb;              // m: b_j = βᵀS_jβ
  double bsb_total = 0.0;  // Σ_j λ_j b_j, summed in penalty order
  double dp = 0.0;         // D_p = D + Σ_j λ_j b_j
  // log|S_λ|₊ with the given rank counts, its gradient and Hessian over ρ.
  PenaltyLogDet log_det_s;
  // With derivatives only:
  Matrix h_inv;              // p x p: H⁻¹
  Vector trace;              // m: t_j = tr(H⁻¹S_j)
  double trace_total = 0.0;  // Σ_j λ_j t_j, summed in penalty order
};

struct PieceOptions {
  // The rank each penalty acting alone on its block counts in log|S_λ|₊;
  // nullptr: the context's penalty_ranks (a shape family may count
  // otherwise).
  const std::vector<std::size_t>* ranks = nullptr;
  bool derivatives = true;  // form H⁻¹ and the traces
};

// The pieces of `fit`, made at rho (at least m entries; further entries only
// lengthen `lambda`), for the given penalties, ranks, log
// pseudo-determinants and groups (design/penalty_groups.hpp). A fit record
// whose coefficients or factor do not have p entries is a broken contract.
PenaltyPieces penalty_pieces(const std::vector<Matrix>& penalties,
                             const std::vector<std::size_t>& ranks,
                             std::span<const double> log_pdets,
                             const std::vector<std::vector<std::size_t>>& groups,
                             const InnerFit& fit, std::span<const double> rho, bool derivatives);

// The same for the context's penalties.
template <class Family>
PenaltyPieces penalty_pieces(const FitContext<Family>& ctx, const InnerFit& fit,
                             std::span<const double> rho, const PieceOptions& options = {}) {
  return penalty_pieces(ctx.penalties, options.ranks ? *options.ranks : ctx.penalty_ranks,
                        ctx.penalty_log_pdets, ctx.penalty_groups, fit, rho, options.derivatives);
}

}  // namespace quelt

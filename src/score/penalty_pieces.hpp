// The per-penalty pieces of a REML score at an inner fit.
//
// At a fit with coefficients β, deviance D and penalized Hessian H (from the
// fit's Cholesky factor), made at the log smoothing parameters ρ:
//
//   λ_j = exp(ρ_j),   b_j = βᵀS_jβ,   D_p = D + Σ_j λ_j b_j,
//   H⁻¹,              t_j = tr(H⁻¹S_j),
//
// the pieces from which every score over ρ forms its penalized deviance, its
// gradient λ_j b_j/(2φ) + ½λ_j t_j − ½∂log|S_λ|₊/∂ρ_j and its Hessian
// (score/reml_hessian.hpp). Σ_j λ_j t_j is the effective number of
// penalized degrees of freedom that p − Σ_j λ_j t_j leaves to the fit.
#pragma once

#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

struct PenaltyPieceSet {
  Vector lambda;             // λ = exp(ρ), one per entry of ρ
  Vector bsb;                // m: b_j = βᵀS_jβ
  double bsb_total = 0.0;    // Σ_j λ_j b_j, summed in penalty order
  double dp = 0.0;           // D_p = D + Σ_j λ_j b_j
  Matrix h_inv;              // p x p: H⁻¹
  Vector trace;              // m: t_j = tr(H⁻¹S_j)
  double trace_total = 0.0;  // Σ_j λ_j t_j, summed in penalty order
};

// The pieces of `fit` made at rho (at least as many entries as penalties;
// further entries only lengthen `lambda`). The penalties are p x p, p the
// fit's coefficient count; a fit record whose coefficients or factor do not
// have p entries is a broken contract.
PenaltyPieceSet penalty_pieces(const std::vector<Matrix>& penalties, const InnerFit& fit,
                               std::span<const double> rho);

}  // namespace quelt

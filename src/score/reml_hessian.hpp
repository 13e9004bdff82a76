// The analytic Hessian over ρ of a REML score whose gradient is
//
//   ∂V/∂ρ_j = λ_j b_j/(2φ) + ½λ_j t_j − ½∂log|S_λ|₊/∂ρ_j
//
// (b_j = βᵀS_jβ, t_j = tr(H⁻¹S_j); score/penalty_pieces.hpp), taking β along
// ρ by dβ/dρ_j = −λ_j v_j with v_j = H_m⁻¹S_jβ, H_m the curvature that moves
// the coefficients (the fit's H, or the observed information where it
// differs):
//
//   H_jk = ½P_jk + E_jk + Q_jk/(2φ) − R_jk − ½∂²log|S_λ|₊/∂ρ_j∂ρ_k,
//   P_jk = δ_jk λ_j t_j − λ_j λ_k tr(H⁻¹S_j H⁻¹S_k),
//   E_jk = −¼(λ_k s_jk + λ_j s_kj),  the change of ½λ tr(H⁻¹S) through the
//          working weights, s_jk = Σ_i w'_i·η_j[i]·q_k[i] with w' = dW/dη,
//          η_j = −λ_j X v_j and q_k[i] = x_iᵀH⁻¹S_kH⁻¹x_i,
//   Q_jk = δ_jk λ_j b_j − 2λ_j λ_k (S_jβ)ᵀ v_k,
//   R_jk = ∂φ/∂ρ_j · λ_k b_k/(2φ²),
//
// computed on the upper triangle and mirrored.
#pragma once

#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace quelt {

struct RemlHessianInputs {
  const std::vector<Matrix>& penalties;  // m of p x p: S_j
  const Matrix& h_inv;                   // p x p: H⁻¹
  std::span<const double> lambda;        // at least m: λ_j
  std::span<const double> trace;         // m: t_j
  std::span<const double> bsb;           // m: b_j
  const std::vector<Vector>& s_beta;     // m: S_jβ
  const std::vector<Vector>& v;          // m: v_j = H_m⁻¹S_jβ
  // m x m: s_jk; 0 x 0 leaves E out (weights that do not move with η).
  const Matrix& weight_sums;
  double phi = 1.0;  // φ
  // m: ∂φ/∂ρ_j; empty leaves R out (φ fixed by the score's form).
  std::span<const double> dscale_drho;
  // m x m: ∂²log|S_λ|₊/∂ρ_j∂ρ_k; 0 x 0 when no penalties share a block.
  const Matrix& log_det_s_hessian;
};

Matrix reml_hessian(const RemlHessianInputs& in);

// s_jk = Σ_i w'_i·η_j[i]·q_k[i] (above) in row order, for the n x p model
// matrix X and w' = dW/dη (n entries). One BLAS product of each row block of
// X with [factors of the penalties | v] gives both η_j and q_k, so no
// row-length array is formed per penalty.
Matrix weight_derivative_sums(MatrixView x, std::span<const double> dw_deta, const Matrix& h_inv,
                              const std::vector<Matrix>& penalties, const std::vector<Vector>& v,
                              std::span<const double> lambda);

}  // namespace quelt

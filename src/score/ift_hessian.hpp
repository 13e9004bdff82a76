// The ρ–ρ block of the outer Hessian of a shape-family score by the implicit
// function theorem, at a converged fit and without refitting.
//
// With the working weights W held, β(ρ) solves (A + S_λ)β = XᵀWz,
// A = XᵀWX, H = A + S_λ, S_λ = Σ_j λ_j S_j, λ_j = exp(ρ_j), so
//   dβ_j   = −λ_j H⁻¹S_jβ,
//   d²β_jk = H⁻¹(−λ_k S_k dβ_j − λ_j S_j dβ_k − δ_jk λ_j S_jβ).
// The block is the second derivative over ρ of
//   (D(β) + βᵀS_λβ)/(2s) + ½log|H|,
// D the deviance with ∂D/∂β = r and ∂²D/∂β² = 2A:
//   N_jk = 2dβ_kᵀA dβ_j + rᵀd²β_jk + δ_jk λ_j βᵀS_jβ + 2λ_j dβ_kᵀS_jβ
//          + 2λ_k dβ_jᵀS_kβ + 2dβ_kᵀS_λ dβ_j + 2(S_λβ)ᵀd²β_jk,
//   block_jk = N_jk/(2s) + ½(δ_jk λ_j tr(H⁻¹S_j) − λ_jλ_k tr(H⁻¹S_jH⁻¹S_k)).
// Terms of the score that are constant or linear in ρ contribute nothing;
// the change of the weights with ρ is not included.
#pragma once

#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace quelt {

// Borrowed inputs of one hess_ift call.
struct IftHessianInputs {
  const std::vector<Matrix>& penalties;  // S_j, p x p, at least as many as lambda
  std::span<const double> lambda;        // m: λ_j; m sets the block's size
  std::span<const double> beta;          // p
  const Matrix& h_inv;                   // H⁻¹, p x p
  const Matrix& xtwx;                    // A = XᵀWX, p x p
  std::span<const double> dev_grad;      // r = ∂D/∂β, p
  double scale = 1.0;                    // s
};

// XᵀWX (p x p) by BLAS over row blocks of X; X is not copied. w has at
// least n entries.
Matrix row_scaled_product(MatrixView x, std::span<const double> w);

// −2·XᵀW(z − Xβ) (p entries): the gradient of the deviance over β from the
// working quantities of a fit.
Vector neg2_weighted_residual(MatrixView x, std::span<const double> w, std::span<const double> z,
                              std::span<const double> beta);

// The m x m block above, exactly symmetric; 0 x 0 for m = 0.
Matrix hess_ift(const IftHessianInputs& in);

}  // namespace quelt

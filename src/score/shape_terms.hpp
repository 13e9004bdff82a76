// Row-level pieces of the shape-aware gradient that need the model matrix:
// leverages, the weight-derivative terms of ∂log|H|/∂ρ and the derivative of
// an inner fit's iteration ridge. Each is one pass over X in row blocks with
// BLAS products; X is never copied.
#pragma once

#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace quelt {

// h_i = x_iᵀH⁻¹x_i for every row (n entries).
Vector leverages(MatrixView x, const Matrix& h_inv);

// u_k = Σ_i ½A_i·(dη_k)_i·h_i, dη_k = −λ_k X H⁻¹S_kβ, h the leverages: the
// change of log|H| along ρ_k through weights W_i = ½∂²D_i/∂η_i² that follow
// η (A_i = ∂³D_i/∂η_i³ = 2∂W_i/∂η_i). One entry per λ.
Vector weight_derivative_rho_terms(MatrixView x, const Matrix& h_inv, std::span<const double> beta,
                                   const std::vector<Matrix>& penalties,
                                   std::span<const double> lambda, std::span<const double> a,
                                   std::span<const double> lev);

// t0·ε·λ_k·S_k[j*, j*]·½ per penalty: the derivative over ρ_k of ½log|H|
// for a factor that carries the ridge ε·(diagonal entry of the largest
// |d_j|), d_j = (XᵀWX)_jj + Σ_k λ_k S_k[j, j], ε = (√m + 1)·1e-5,
// t0 = tr(H⁻¹). j* is the first index of the largest |d_j| (NaN never
// chosen). xtwx_diag holds the p entries (XᵀWX)_jj and penalty_diagonals
// the S_k[j, j], all in the basis the ridge is defined in (the design's).
Vector ridge_rho_terms(std::span<const double> xtwx_diag, const Matrix& h_inv,
                       const std::vector<Vector>& penalty_diagonals,
                       std::span<const double> lambda);

// j* above: the first index of the largest |d_j|, d_j = xtwx_diag_j +
// Σ_k λ_k·penalty_diagonals_k[j].
std::size_t ridge_argmax(std::span<const double> xtwx_diag,
                         const std::vector<Vector>& penalty_diagonals,
                         std::span<const double> lambda);

// The change of ½D_p through β for a fit whose β solves ½∇D_p + ε·s·β = 0
// (an iteration ridge ε·s, s = max(1, max_j (XᵀWX)_jj), ε as above), so that
// β̂ is not stationary for D_p: per penalty
//   −ε·s·β̂ᵀdβ/dρ_k = ε·s·λ_k·(H⁻¹β̂)ᵀS_kβ̂,   dβ/dρ_k = −λ_k H⁻¹S_kβ̂.
Vector ridge_envelope_rho_terms(std::span<const double> xtwx_diag, const Matrix& h_inv,
                                std::span<const double> beta, const std::vector<Matrix>& penalties,
                                std::span<const double> lambda);

// ε·s of that iteration ridge for m penalties and the diagonal of XᵀWX.
double iteration_ridge(std::span<const double> xtwx_diag, std::size_t m);

}  // namespace quelt

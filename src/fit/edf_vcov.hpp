// Summaries of the final inner fit: effective degrees of freedom (total and
// per penalty) and the coefficient covariance.
//
// All read the lower Cholesky factor L of the penalized Hessian
// H = XᵀWX + S_λ of the final fit. The traces tr(H⁻¹B) are elementwise sums
// Σ_ij (H⁻¹)_ij B_ij over the symmetric B, never a product H⁻¹B.
#pragma once

#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace quelt {

// edf_total = tr(H⁻¹·XᵀWX), XᵀWX formed once with BLAS from the first n
// working weights (w has at least n entries). An empty factor gives 0.
double compute_edf_total(MatrixView x, std::span<const double> w, const Matrix& chol);
// The same trace from XᵀWX already formed (p x p), e.g. by the inner fit.
double edf_total_from_gram(const Matrix& xtwx, const Matrix& chol);

// One value per penalty j: c_j − λ_j·tr(H⁻¹S_j), where λ_j = exp(rho_j) and
// c_j counts the rows of the leading p x p block of S_j holding an entry
// other than 0.0 (a NaN counts, −0.0 does not): the width of the block the
// penalty acts on, so that for non-overlapping penalties edf_j is the trace
// of that block of H⁻¹XᵀWX. `widths`, when not empty, gives the c_j (for
// penalties rotated into their eigenbasis, whose exact zeros hide the width).
Vector compute_edf_per_term(const std::vector<Matrix>& penalties, std::span<const double> rho,
                            std::size_t p, const Matrix& chol,
                            std::span<const std::size_t> widths = {});

// scale·H⁻¹ (both triangles filled). A scale of exactly 1.0 returns H⁻¹
// unchanged; a NaN scale (no residual degrees of freedom to estimate it)
// gives a matrix of NaN: the covariance is unknown, not H⁻¹.
Matrix compute_vcov(const Matrix& chol, double scale);

// exp(v_i) element by element.
Vector exp_array(std::span<const double> v);

}  // namespace quelt

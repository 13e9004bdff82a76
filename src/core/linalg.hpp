// Dense numeric helpers shared by the fits, scores and predictions: the total
// penalty, Cholesky factor and triangular solves, the penalized solve, the
// inverse, trace and log-determinant from a factor, the weighted transpose,
// the small matrix forms of the scores (traces of products, quadratic forms,
// products with a vector, dot products) and the standard normal quantile
// (ln Γ lives in core/gamma_functions.hpp).
//
// A Cholesky factor is the lower triangular L with A = L·Lᵀ, row-major and
// contiguous, strict upper triangle 0; functions taking one read only its
// diagonal and lower triangle. Short arguments are invariant failures.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

// S_λ = Σ_j exp(rho_j)·S_j over the penalties in list order, p x p with p the
// row count of the first penalty; not symmetrised. Needs at least one
// penalty and at least as many rho entries as penalties.
Matrix s_lambda(const std::vector<Matrix>& penalties, std::span<const double> rho);

// Cholesky factor of a symmetric positive definite matrix (only its lower
// triangle is read). Failure: SingularSystem "Cholesky failed: {}".
Result<Matrix> cholesky(Matrix a);

// y with L·y = b (b has at least n entries; the rest is ignored).
Vector chol_forward_solve(const Matrix& L, std::span<const double> b);
// x with Lᵀ·x = y (y has at least n entries).
Vector chol_back_solve(const Matrix& L, std::span<const double> y);

// The relative ridge of a penalized solve: H_ii += kRelativeRidge·|H_ii| on
// every diagonal entry (a NaN entry stays NaN), some 4500 units in the last
// place of each, enough to factor a matrix that is positive definite only up
// to rounding and far too small to move β. Each entry's ridge is relative to
// that entry alone, with no absolute floor: H in other units (every weight
// times c) gives the same β, and so does H in other units per coefficient
// (D·H·D for a diagonal D), so that a coefficient whose diagonal is dwarfed
// by a heavily penalized one (λ·S ≫ XᵀWX) is not swamped by a ridge sized
// to the latter.
inline constexpr double kRelativeRidge = 1e-12;
void add_relative_ridge(Matrix& H);

// The smallest pivot of a penalized solve, relative to its diagonal entry:
// a direction that neither the data nor the penalty determine (two terms
// holding the same line) leaves a pivot of rounding size, some p·ε of
// H_ii, where positive definite systems of the fits give 1e-3 and more.
// The ratio does not change when H is scaled by a positive diagonal D·H·D,
// so it measures the same at every λ.
inline constexpr double kMinRelativePivot = 1e-13;

// The pivot test of chol_solve_penalized on the factor L of H: SingularSystem
// "Cholesky failed: the leading minor of order {} is positive definite only
// to rounding (its pivot is {} of its diagonal entry)" at the first i with
// L_ii² ≤ min_ratio·H_ii (a NaN ratio fails too).
Status check_relative_pivots(const Matrix& H, const Matrix& L,
                             double min_ratio = kMinRelativePivot);

// (factor of H, β) with H_δ·β = r, H_δ = H after add_relative_ridge: the
// returned factor is that of the unridged H, β comes from the ridged copy.
// Fails with SingularSystem "Cholesky failed: {}" when either factorization
// fails (H's own first), or when a pivot of H's factor is at most
// kMinRelativePivot of its diagonal entry, L_ii² ≤ kMinRelativePivot·H_ii.
Result<std::pair<Matrix, Vector>> chol_solve_penalized(const Matrix& H, std::span<const double> r);

// (L·Lᵀ)⁻¹, exactly symmetric. L must be square and contiguous row-major.
Matrix inverse_from_cholesky(MatrixView L);

// tr(A⁻¹·B) = Σ_ij (A⁻¹)_ij·B_ij for the factor L of A; B at least n x n.
double trace_inv_times(MatrixView L, MatrixView B);

// log det A = 2·Σ_i ln L_ii.
double log_det_from_cholesky(const Matrix& L);

// XᵀW as a new p x n matrix: T[j][i] = w_i·X[i][j] (w has at least n entries).
Matrix row_scale(MatrixView X, std::span<const double> w);

// Σ_ij A_ij·B_ij over the leading p x p block of A (p = rows of A), summed
// row by row: tr(A·B) when one of them is symmetric. B must be at least p x p.
double frobenius_dot(const Matrix& A, const Matrix& B);

// tr(A·B) = Σ_r Σ_s A_rs·B_sr over the leading p x p blocks (p = rows of A),
// summed row by row of A: the trace of a product for any square B, where
// frobenius_dot is it only when one factor is symmetric. B must be at least
// p x p.
double trace_of_product(const Matrix& A, const Matrix& B);

// βᵀSβ with p = len(β), as Σ_a β_a·(Σ_b S_ab·β_b). S must be at least p x p.
double quadratic_form(const Matrix& S, std::span<const double> beta);

// A·v for a small matrix (the p x p penalties and inverses of the scores) by
// plain loops: entry a is 0.0 + A_a0·v_0 + A_a1·v_1 + …, one entry per row of
// A, summed in increasing column order (BLAS's matvec is for the n x p model
// matrix). v must have at least as many entries as A has columns.
Vector small_matvec(const Matrix& A, std::span<const double> v);

// aᵀb = 0.0 + a_0·b_0 + a_1·b_1 + … over the entries of a; b at least as long.
double dot(std::span<const double> a, std::span<const double> b);

// Replaces each off-diagonal pair of a square matrix by its mean, so that the
// result is exactly symmetric.
void symmetrize_average(Matrix& a);

// z with Φ(z) = p for 0 < p < 1 (rational approximation, relative error about
// 1e-9); p outside (0, 1) or NaN is an invariant failure.
double normal_quantile(double p);

}  // namespace quelt

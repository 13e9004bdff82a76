// The coefficients of a fit in the eigenbasis of its penalties.
//
// In the design's own basis the penalized Hessian H = XᵀWX + Σ_j λ_j S_j
// knows the directions of a penalty's null space (the lines of a cubic
// regression smooth) only to about ε·λ_j‖S_j‖: rounding leaves S_j's null
// space non-null by ε‖S_j‖, and λ_j multiplies that. Once λ_j‖S_j‖ dwarfs
// XᵀWX, the fitted line, the deviance, log|H| and tr(H⁻¹S_j) lose their
// digits, and the factorization fails.
//
// The fits therefore work with β = U·β̃, U orthogonal and block diagonal: per
// penalty group g (design/penalty_groups.hpp) U_g holds the eigenvectors of
// S_g = Σ_{j∈g} S_j on the group's coefficient block, identity elsewhere.
// The model matrix becomes X̃ = X·U and each penalty S̃_j = UᵀS_jU, written
//   - for a group of one penalty: diag(e), its eigenvalues, with exact zeros
//     at the eigenvalues the rank rule counts as zero (at most 1e-10 of
//     max(1, largest), as design/model_design.hpp counts ranks);
//   - for a group of several: UᵀS_jU with exact zeros in the rows and
//     columns of the null space the group's penalties share.
// A block whose penalties are all diagonal already (random effects) is not
// rotated.
//
// Then H̃ = X̃ᵀWX̃ + Σ λ_j S̃_j holds λ only on the diagonal (one penalty per
// block), and Cholesky's rounding error in H̃_ik is relative to
// √(H̃_ii·H̃_kk): the factor, β̃, log|H̃| = log|H| and tr(H̃⁻¹S̃_j) =
// tr(H⁻¹S_j) are accurate at every λ, the unpenalized directions to the
// digits of XᵀWX. Scores, traces and degrees of freedom are the same
// numbers in either basis; only β and its covariance are taken back,
// β = U·β̃, V = U·Ṽ·Uᵀ.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace quelt {

// One rotated block: the coefficients `cols` (ascending) of the design's
// basis are U·β̃ over the same positions of the rotated basis.
struct BlockRotation {
  std::vector<std::size_t> cols;
  Matrix u;  // q x q orthogonal, q = cols.size()
};

// The rotation of a whole coefficient vector; coefficients outside every
// block are not rotated. No blocks: the identity.
struct CoefficientRotation {
  std::vector<BlockRotation> blocks;
  // Per penalty, the rows of S_j holding an entry other than 0.0 in the
  // design's basis: the width of the block it acts on, which the exact zeros
  // of S̃_j no longer show.
  std::vector<std::size_t> penalty_widths;
  // Per penalty, the diagonal of S_j in the design's basis (p entries).
  std::vector<Vector> penalty_diagonals;
  bool is_identity() const { return blocks.empty(); }
};

// The rotation of the penalties above, rewriting each penalty (p x p) as S̃_j
// in place. `groups` lists the penalty groups (empty: each penalty its own
// group). An eigendecomposition that fails (non-finite penalty entries)
// leaves the group unrotated.
CoefficientRotation rotate_penalties(std::vector<Matrix>& penalties,
                                     const std::vector<std::vector<std::size_t>>& groups);

// X ← X·U in place, by blocks of rows (no copy of X).
void rotate_model_matrix(Matrix& x, const CoefficientRotation& r);

// A ← UᵀAU for a symmetric p x p matrix, exactly symmetric after; v ← Uᵀv.
void rotate_gram(Matrix& a, const CoefficientRotation& r);
void rotate_vector_to(Vector& v, const CoefficientRotation& r);

// Quantities defined in the design's basis, read from the rotated one:
// diag(U·A·Uᵀ) of a p x p matrix A, and Uᵀe_j, the design's coefficient
// direction j in rotated coordinates (x_ij = x̃_iᵀ·Uᵀe_j).
Vector design_diagonal(const CoefficientRotation& r, const Matrix& a);
Vector design_axis(const CoefficientRotation& r, std::size_t j, std::size_t p);

// The diagonal of S_j in the design's basis: the stored one after a
// rotation, else that of `penalty` itself.
Vector penalty_design_diagonal(const CoefficientRotation& r, const Matrix& penalty, std::size_t j);

// β = U·β̃ (p entries).
Vector coefficients_to_design(const CoefficientRotation& r, Vector beta);

// V = U·Ṽ·Uᵀ (p x p), exactly symmetric when Ṽ is.
Matrix covariance_to_design(const CoefficientRotation& r, Matrix v);

}  // namespace quelt

// Whether the penalized system of a design is singular whatever y holds.
//
// With positive weights W on the rows that count and every λ_j > 0,
// H = XᵀWX + Σ_j λ_j S_j is singular exactly when some v ≠ 0 has x_iᵀv = 0
// on every row of positive prior weight and S_j v = 0 for every j: a
// function of x that the data cannot tell apart from zero and no penalty
// holds, as when two terms both carry the same unpenalized line of one
// column (a smooth of column c and a tensor product of c with another
// column). That null space is the design's own: neither y, nor the weight a
// far response gives its row, nor ρ moves it. A fit of such a design fails
// whatever y holds, and a far row is not the cause to report.
//
// The test forms, in the eigenbasis of the penalties in which the fits
// factor H (inner/coefficient_rotation.hpp),
//   H₀ = X̃ᵀDX̃ + Σ_j c_j S̃_j,   c_j = Σ_{k∈B_j} (X̃ᵀDX̃)_kk / tr S̃_j,
// D the indicator of positive prior weight (so a far weight does not enter),
// B_j the coefficients S̃_j acts on, and c_j balancing each penalty against
// the information on them (1 where that ratio is not positive and finite).
// H₀ is factored with the pivot test of the fits' penalized solves
// (core/linalg.hpp), which does not move with a positive diagonal scaling of
// H₀: the choice of c_j decides nothing in exact arithmetic and in floating
// point only keeps each block of H₀ of one size. The test's bound is
// kDesignRankPivot = 1e-9 of the diagonal entry, not the solves' 1e-13: two
// terms that hold the same line hold it through two spline bases on their
// own knots, equal only to the rounding of their evaluation, and their
// pivot in H₀ reaches some 7e-12 (seeded designs of 200 to 2000 rows, p up
// to 150), where the fit's H at the weights of a far row may fall below
// 1e-13. Sound designs give pivots of 1e-3 and more (two columns equal to
// three digits give 1e-6).
// Cost: one XᵀDX, O(n·p²), and one p x p factorization: for the paths that
// refuse a fit, never for an ordinary one.
//
// Failure: SingularSystem "the penalized system of the design is singular
// whatever y holds (XᵀX + S at unit weights): {the factorization's error}".
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

// The largest pivot of H₀, relative to its diagonal entry, that makes the
// design singular.
inline constexpr double kDesignRankPivot = 1e-9;

// x (n x p), the prior weights (absent: all rows count) and the m p x p
// penalties in one basis: the eigenbasis of the penalties when
// `in_eigenbasis`, else the design's own, rotated here by `groups` as the
// fits rotate them (empty: each penalty its own group).
Status check_design_rank(MatrixView x, const std::optional<Vector>& w,
                         const std::vector<Matrix>& penalties,
                         const std::vector<std::vector<std::size_t>>& groups, bool in_eigenbasis);

// The same for a fit context before or after use_penalty_eigenbasis (not the
// Gaussian one, whose x stays in the design's basis). A context whose
// rotation is the identity holds penalties that a rotation leaves as they
// are, so rotating them again changes nothing.
template <class Family>
Status check_design_rank(const FitContext<Family>& ctx) {
  static_assert(!std::is_same_v<Family, Gaussian>, "the Gaussian context keeps x unrotated");
  return check_design_rank(ctx.x.view(), ctx.prior_weights, ctx.penalties, ctx.penalty_groups,
                           !ctx.rotation.is_identity());
}

// A refusal that blames y or the prior weights for a far row, or the
// design's singular system when `design` (check_design_rank) says it is one:
// that is the cause to mend first, and mending y would not mend it.
QueltError unless_design_singular(const Status& design, QueltError refusal);

}  // namespace quelt

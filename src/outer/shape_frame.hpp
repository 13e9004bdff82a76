// Start, box and step caps of the shape-family search over θ = [ρ, t], and
// the origin of its convergence tests, chosen so that the fit of c·y is the
// fit of y in other units.
//
// Shape coordinates: the family's box, start and origin (ShapeTraits<F>::
// start): boxes centred on the data's own scale where a coordinate carries
// units.
//
// ρ: the family's own start when it gives one (the scaled t's pilot fit,
// score/scale_pilot.hpp), otherwise the balanced start of the standard
// drivers (outer/outer_frame.hpp),
//   λ⁰_j = W̄·Σ_{k ∈ B_j} (Xᵀdiag(w)X)_kk / (e·√n·tr S_j),   ρ⁰_j = ln λ⁰_j,
// with W̄ the family's working weight per unit prior weight at the data's own
// units. Under y → c·y W̄ moves as the optimal λ does, so ρ⁰ moves with the
// optimum, and so does the box [ρ⁰_j − 50, ρ⁰_j + 50].
//
// Step caps: 5 in every ρ_j, the family's caps in the shape coordinates.
//
// Curvature: the loop floors the eigenvalues of the Hessian at 1e-8 and then
// scales the whole step down until every coordinate is within its cap. A
// shape coordinate whose score is locally concave or nearly flat (ν of a
// scaled t on Gaussian-like data, where the score levels off as ν → ∞) would
// then get a step of order gradient/1e-8 that shrinks the step of every
// other coordinate to nothing, and the search crawls. The shape driver hands
// the loop the Hessian with each eigenvalue λ_k replaced by
// max(|λ_k|, 1e-6·min(max_k|λ_k|, 10³)): steps go downhill along negative
// curvature by its size, and a flat direction moves no further than the
// curvature of the others allows.
#pragma once

#include <cmath>

#include "core/matrix.hpp"
#include "inner/fit_context.hpp"
#include "outer/newton.hpp"
#include "outer/outer_frame.hpp"
#include "score/shape_score.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

// Half-width of the ρ box around its start.
inline constexpr double kShapeRhoHalfWidth = 50.0;
// Largest step in one ρ_j.
inline constexpr double kShapeRhoStepCap = 5.0;

struct ShapeFrame {
  Vector start;         // θ⁰, m + s entries
  Bounds bounds;        // one box per coordinate
  Vector step_caps;     // one cap per coordinate
  double score_origin;  // the units part of the score
};

// Relative floor of the eigenvalues of the Hessian handed to the loop.
inline constexpr double kShapeCurvatureFloor = 1e-6;
// The largest curvature the floor is relative to. The curvature of a shape
// coordinate grows like n (that of log φ is about n/2), that of a ρ_j whose
// λ_j runs to the top of its range falls towards zero whatever n: a floor
// growing with n would cut such a ρ_j's steps like 1/n (about 30 Newton
// steps instead of 10 for a Tweedie fit at n = 10⁵). The floor was set for
// fits of some hundreds to a few thousand observations, whose largest
// curvature is about 10³; beyond that it keeps its size there.
inline constexpr double kShapeCurvatureTopCap = 1e3;

// H with its eigenvalues replaced as above (symmetrised first); H itself when
// its eigendecomposition fails (the loop's own conditioning then applies).
Matrix positive_curvature(const Matrix& h);

template <class F>
ShapeFrame shape_frame(const FitContext<F>& ctx) {
  using Traits = ShapeTraits<F>;
  const ShapeStart ss = Traits::start(ctx, ctx.family, penalty_rank_total(ctx));
  ShapeFrame f;
  Vector info = weighted_column_squares(ctx.x, ctx.prior_weights);
  for (double& v : info) v *= ss.weight_level;
  f.start = ss.rho.empty() ? balanced_log_lambdas(info, ctx.penalties, ctx.moments.n_obs) : ss.rho;
  for (double r : f.start) {
    f.bounds.emplace_back(r - kShapeRhoHalfWidth, r + kShapeRhoHalfWidth);
    f.step_caps.push_back(kShapeRhoStepCap);
  }
  f.start.insert(f.start.end(), ss.tail.begin(), ss.tail.end());
  f.bounds.insert(f.bounds.end(), ss.tail_bounds.begin(), ss.tail_bounds.end());
  const Vector caps = Traits::shape_step_caps(ctx.family);
  f.step_caps.insert(f.step_caps.end(), caps.begin(), caps.end());
  f.score_origin = ss.score_origin;
  return f;
}

}  // namespace quelt

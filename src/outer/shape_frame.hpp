// Start, box and step caps of the shape-family search over θ = [ρ, t], and
// the origin of its convergence tests, chosen so that the fit of c·y is the
// fit of y in other units.
//
// Shape coordinates: the family's box, start and origin (ShapeTraits<F>::
// start): boxes centred on the data's own scale where a coordinate carries
// units.
//
// ρ: each λ_j balances the information of √n rows on the coefficients of
// its penalty against the penalty itself,
//   λ⁰_j = W̄·Σ_{k ∈ B_j} (Xᵀdiag(w)X)_kk / (e·√n·tr S_j),   ρ⁰_j = ln λ⁰_j,
// B_j the coefficients on which S_j acts (its non-zero diagonal), n the rows
// of positive prior weight w and W̄ the family's working weight per unit prior
// weight at the data's own units. Under y → c·y W̄ moves as the optimal λ
// does, so ρ⁰ moves with the optimum, and so does the box
// [ρ⁰_j − 50, ρ⁰_j + 50]. A ratio that is not a positive finite number (an
// empty penalty, a column of zeros) gives ρ⁰_j = 0.
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
// max(|λ_k|, 1e-6·max_k|λ_k|): steps go downhill along negative curvature
// by its size, and a flat direction moves no further than the curvature
// of the others allows.
#pragma once

#include <cmath>

#include "core/matrix.hpp"
#include "inner/fit_context.hpp"
#include "outer/newton.hpp"
#include "score/shape_score.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

// Half-width of the ρ box around its start.
inline constexpr double kShapeRhoHalfWidth = 50.0;
// Largest step in one ρ_j.
inline constexpr double kShapeRhoStepCap = 5.0;
// The start's lean towards the rough side: e.
inline constexpr double kShapeStartLean = 2.718281828459045;

struct ShapeFrame {
  Vector start;         // θ⁰, m + s entries
  Bounds bounds;        // one box per coordinate
  Vector step_caps;     // one cap per coordinate
  double score_origin;  // the units part of the score
};

// Relative floor of the eigenvalues of the Hessian handed to the loop.
inline constexpr double kShapeCurvatureFloor = 1e-6;

// H with its eigenvalues replaced as above (symmetrised first); H itself when
// its eigendecomposition fails (the loop's own conditioning then applies).
Matrix positive_curvature(const Matrix& h);

// ln(W̄·Σ_{k∈B_j}(Xᵀdiag(w)X)_kk/(e·√n·tr S_j)) per penalty, 0 where the
// ratio is not a positive finite number.
template <class F>
Vector balanced_log_lambdas(const FitContext<F>& ctx, double weight_level) {
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols(), m = ctx.m();
  Vector d(p, 0.0);
  double n_obs = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
    if (!(wi > 0.0)) continue;
    n_obs += 1.0;
    const double* row = ctx.x.row_ptr(i);
    for (std::size_t k = 0; k < p; ++k) d[k] += wi * (row[k] * row[k]);
  }
  Vector rho(m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& s = ctx.penalties[j];
    double info = 0.0, trace = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
      if (s(k, k) == 0.0) continue;
      info += d[k];
      trace += s(k, k);
    }
    const double ratio = weight_level * info / (trace * kShapeStartLean * std::sqrt(n_obs));
    if (ratio > 0.0 && std::isfinite(ratio) && std::isfinite(std::log(ratio)))
      rho[j] = std::log(ratio);
  }
  return rho;
}

template <class F>
ShapeFrame shape_frame(const FitContext<F>& ctx) {
  using Traits = ShapeTraits<F>;
  const ShapeStart ss = Traits::start(ctx, ctx.family, penalty_rank_total(ctx));
  ShapeFrame f;
  f.start = balanced_log_lambdas(ctx, ss.weight_level);
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

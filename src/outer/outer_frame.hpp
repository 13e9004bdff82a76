// Where the outer optimisation starts, the box it searches and the origin of
// its convergence tests, chosen so that a fit does not depend on the units
// of y or of the prior weights.
//
// Start: each λ_j balances the information of √n rows on the coefficients
// of its penalty against the penalty itself,
//
//   λ⁰_j = Σ_{k ∈ B_j} (XᵀW₀X)_kk / (e·√n·tr(S_j)),   ρ⁰_j = ln λ⁰_j,
//
// with B_j the coefficients on which S_j acts (its non-zero diagonal), n the
// rows of positive weight and W₀ = w_i·W(ȳ) the working weights of the
// family at the weighted mean response ȳ. Under y → c·y the weights move by
// c^a exactly as the optimal λ does (score/data_units.hpp), so ρ⁰ moves with
// the optimum, and so does the box [ρ⁰_j − 30, ρ⁰_j + 30]. Why √n and e: the
// optimal λ of a penalized spline grows much more slowly than the n rows'
// information, and above the optimum the score rises like λ·βᵀSβ, so that the
// damped Newton loop approaches it from there by about one unit of ρ per
// step, against up to five from below. Balancing all n rows puts the start
// several units above the optimum at n = 10⁶ (3.8 for one period of a sine,
// 7.4 for three); √n rows and the factor e lean it towards the rough side. (Measured over smooth,
// rough, linear and bump truths with n = 10³ … 10⁶: fewer outer iterations in total than the fixed
// start 0.) A ratio that is not a positive finite number (an empty penalty, a column of zeros)
// gives ρ⁰_j = 0, and so does a mean response on the edge of the family's range (all counts zero,
// all responses 0 or all 1), where the Fisher weight is that of a floor.
//
// Origin: `score_origin` of the family (score/data_units.hpp); the loop's
// gradient and score-change tests are relative to |V − origin|, which a
// change of units leaves as it is (for Poisson and Bernoulli the origin is
// 0, so their tests are relative to |V|).
#pragma once

#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "outer/newton.hpp"

namespace quelt {

// Half-width of the box around the start on the Newton path.
inline constexpr double kRhoHalfWidth = 30.0;
// The start's lean towards the rough side (see above): e.
inline constexpr double kStartLean = 2.718281828459045;

struct OuterFrame {
  Vector start;               // ρ⁰, one entry per penalty
  Bounds bounds;              // [ρ⁰_j − 30, ρ⁰_j + 30]
  double score_origin = 0.0;  // origin of the convergence tests' magnitude
};

template <class Family>
OuterFrame outer_frame(const FitContext<Family>& ctx);

// diag(Xᵀdiag(w)X): Σ_i w_i x_ik² per column k over the rows of positive
// weight (w absent: all 1).
Vector weighted_column_squares(const Matrix& x, const std::optional<Vector>& w);

// ρ⁰ above from the diagonal d = diag(XᵀW₀X) (p entries) and n rows: per
// penalty ln(Σ_{k∈B_j} d_k / (e·√n·tr S_j)), 0 where that ratio is not a
// positive finite number.
Vector balanced_log_lambdas(const Vector& info_diag, const std::vector<Matrix>& penalties,
                            std::size_t n_obs);

#define QUELT_OUTER_FRAME_EXTERN(F) extern template OuterFrame outer_frame<F>(const FitContext<F>&);
QUELT_OUTER_FRAME_EXTERN(Gaussian)
QUELT_OUTER_FRAME_EXTERN(Bernoulli)
QUELT_OUTER_FRAME_EXTERN(QuasiBinomial)
QUELT_OUTER_FRAME_EXTERN(Poisson)
QUELT_OUTER_FRAME_EXTERN(QuasiPoisson)
QUELT_OUTER_FRAME_EXTERN(GammaLog)
QUELT_OUTER_FRAME_EXTERN(GammaInverse)
QUELT_OUTER_FRAME_EXTERN(InverseGaussian)
#undef QUELT_OUTER_FRAME_EXTERN

}  // namespace quelt

// The scaled-t family (identity link, ν degrees of freedom, scale σ²) in the
// shape-aware score: shape coordinates t = (log σ², log(ν − 2)), so σ² = e^t₀
// and ν = 2 + e^t₁ > 2.
//
// Its deviance carries the scale, D = Σ_i w_i(ν+1)·ln(1 + r_i²/(νσ²)), so φ = 1
// and ls = Σ_i w_i·[ln Γ((ν+1)/2) − ln Γ(ν/2) − ½ln(πνσ²)] (prior weights
// are frequency weights). H = XᵀWX + S_λ with the expected information
// W_i = w_i(ν+1)/((ν+3)σ²), which does not depend on μ: the ρ-gradient has
// no weight-derivative term, and with T = tr(H⁻¹XᵀWX)
//   ∂V/∂log σ²    = ½Σ_i ∂D_i/∂log σ² + ½Σw − ½T,
//   ∂V/∂log(ν−2) = ½Σ_i ∂D_i/∂log(ν−2)
//                  − (ν−2)·½Σw·[ψ((ν+1)/2) − ψ(ν/2) − 1/ν]
//                  + T·(ν−2)/((ν+1)(ν+3)),
// the coefficients by the envelope theorem (β̂ is stationary for D_p) and
// log|H| through W alone (∂W/∂log σ² = −W, ∂W/∂log(ν−2) = 2(ν−2)W/((ν+1)(ν+3))).
//
// Units: y → c·y leaves ν and the fitted curve's shape, moves σ² by c² and the
// optimal λ by c⁻² (W ∝ 1/σ²) and shifts V by (Σw + R − p)·ln c, R the total
// rank count of the penalties. The log σ² box is centred on the log of a
// robust variance of the noise, (1.4826·MAD)² of the residuals of the pilot
// fit (score/scale_pilot.hpp), so that it follows the units, and it reaches
// down to σ² = 1e-14·var(y) at least, so that precise data (noise far below
// the signal) lie inside it.
#pragma once

#include <cstddef>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

// The least σ²/var(y) the box of log σ² reaches: noise 1e-7 of the spread.
inline constexpr double kSigma2SpreadFloor = 1e-14;

template <>
struct ShapeTraits<TDist> {
  static TDist decode(const TDist& base, std::span<const double> tail);
  // max(r − 1, 1).
  static std::size_t rank_count(std::size_t r) { return r > 1 ? r - 1 : 1; }
  static double dispersion(const TDist&) { return 1.0; }
  static double saturated_loglik(const FitContext<TDist>& ctx, const TDist& f);
  static Result<InnerFit> inner_fit(const FitContext<TDist>& ctx, const TDist& f,
                                    std::span<const double> rho);
  static Vector shape_gradient(const FitContext<TDist>& ctx, const InnerFit& fit, const TDist& f,
                               const PenaltyPieces& pieces);
  static constexpr ShapeGradient kEvalShapeGradient = ShapeGradient::ScoreDifferences;
  static constexpr ShapeHessian kHessian = ShapeHessian::ImplicitRho;

  static Vector shape_step_caps(const TDist&) { return {1.0, 1.0}; }
  static constexpr double kOptimisationTol = 1e-8;
  // The record keeps σ̂² as its scale; the covariance is H⁻¹ (σ² is inside W).
  static double record_scale(const TDist& f) { return f.sigma2; }
  static double covariance_scale(const TDist&) { return 1.0; }
  // Box of log σ² [min(ln v − 10, ln(1e-14·var y)), ln v + 10], v the pilot's
  // residual variance (robust_variance without a pilot), of log(ν − 2) on 0;
  // start at the caller's σ² when it lies in its box, else at v;
  // W̄ = (ν+1)/((ν+3)v); ρ⁰ = the pilot's ρ + ln W̄; origin (Σw + R − p)·½ln v.
  static ShapeStart start(const FitContext<TDist>& ctx, const TDist& base, double rank_total);
};

// The robust variance of y behind the box: (1.4826·MAD)² of the residuals of
// the least-squares fit of y on X (prior weights as frequency weights; rows of
// zero weight left out), times n/(n − p); with no more rows than columns, of y
// about its median. Falls back to the weighted variance of y, then ȳ², then
// 1 where a value is not a positive finite number.
double robust_variance(const FitContext<TDist>& ctx);

}  // namespace quelt

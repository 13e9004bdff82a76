// Likelihood pieces of the Tweedie family (log link, power 1 < p < 2,
// dispersion φ) beyond its deviance: the saturated log-likelihood and the
// gradient of the score over the shape coordinates with the means held fixed.
//
// Density. P(Y = 0) = exp(−μ^(2−p)/((2−p)φ)), and for y > 0
//   f(y; μ) = exp(ls(y) − d(y, μ)/(2φ)),
// d the unit deviance and ls the saturated log-likelihood (log f at μ = y):
//   ls(y) = A(y) − ln y + ln W(y),   A(y) = y^(2−p) / ((1−p)(2−p)φ),
//   W(y)  = Σ_{j≥1} exp(t_j),
//   t_j   = κ·j − ln Γ(j+1) − ln Γ(−jα) − α·j·ln y,
//   α = (2−p)/(1−p) < 0,   κ = α·ln(p−1) + ln φ/(1−p) − ln(2−p).
// φ is floored at kTweedieDispersionFloor (a NaN φ becomes the floor).
//
// The series. t_j is concave in j with its peak near j₀ = y^(2−p)/((2−p)φ).
// The sum starts at j₀ (floored, at least 1; a saturating integer) and walks
// up, then down, each run stopping after the first term more than
// kTweedieSeriesCut below t_{j₀}, or at the end of the index range: the
// summed window is the same for the saturated log-likelihood and for the
// gradient. By concavity the terms beyond each end fall off at least
// geometrically, at a rate no slower than the mean fall across the window, so
// the terms left out sum to below about 2⁻¹⁰⁴ of the summed ones for any
// window length; there is no fixed cap on the number of terms. The work
// per observation is the window's length, a multiple of √j₀ for large j₀
// (24,000 terms at y = 1e6, φ = 1e-3, p = 1.5, where j₀ = 2e6; 123,000 at
// p = 1.05, where j₀ = 5.3e8); memory does not grow with j₀.
//
// Prior weights are frequency weights: an observation of weight w counts as
// w copies of itself, in the log-likelihood as in the deviance.
#pragma once

#include <span>

#include "core/matrix.hpp"
#include "family/families.hpp"

namespace quelt {

// Terms more than 104·ln 2 below the peak of the series are below the
// rounding of its sum.
inline constexpr double kTweedieSeriesCut = 72.0873067782343;
// Smallest dispersion used by the series and the gradient.
inline constexpr double kTweedieDispersionFloor = 1e-12;

// ls(y) of one observation: 0 for y ≤ 0 (and NaN y); A − ln y without a
// series when p ≤ 1 or p ≥ 2 (the family keeps 1 < p < 2; p = 2 gives −inf).
double tweedie_saturated_loglik(double p, double phi, double y);

// Σ_i w_i·ls(y_i) over i in index order (w empty: unit weights, otherwise at
// least y.size() entries), with the series terms shared between observations.
double tweedie_saturated_loglik_sum(double p, double phi, std::span<const double> y,
                                    std::span<const double> w);

// Gradient of the score with the means μ held fixed,
//   V(log φ, p_t) = Dp/(2φ) − Σ_i w_i·ls(y_i) − (n − m)/2·ln φ,
//   Dp = Σ_i w_i·d(y_i, μ_i) + penalty (passed in, computed by the caller),
// over the coordinates log φ and p_t, p = 1 + 1/(1 + e^(−p_t)) (so that
// ∂p/∂p_t = (p−1)(2−p)); p and φ are the family's fields. n = y.size() and m
// the caller's degrees-of-freedom count (n − Mp for the LAML score, so that
// n − m = Mp). Returns [∂V/∂log φ], or [∂V/∂log φ, ∂V/∂p_t] when `profile_p`:
//   ∂V/∂log φ = −(n − m)/2 − Dp/(2φ) + Σ w·A − Σ w·∂ln W/∂ln φ,
//   ∂V/∂p_t   = (p−1)(2−p)·(Σ w·∂d/∂p/(2φ) − Σ w·∂A/∂p − Σ w·∂ln W/∂p).
// μ has at least n entries; w as for the sum above. Observations with y ≤ 0
// enter only through ∂d/∂p (their ls is 0).
Vector analytic_shape_score_gradient(const Tweedie& family, bool profile_p,
                                     std::span<const double> y, std::span<const double> mu,
                                     std::span<const double> w, double dp, double m);

}  // namespace quelt

// The Gamma family's saturated log-likelihood with precision weights and the
// scale φ at which the REML score is stationary.
//
// Row i has dispersion φ/w_i, that is shape a_i = w_i/φ, so that
//
//   ls(φ) = Σ_i [κ(a_i) − ln y_i],   κ(a) = a ln a − a − ln Γ(a),
//
// over the rows of positive weight. Multiplying every weight by c then
// multiplies φ by c and leaves every a_i, and with them ls and the fit, as
// they are. With unit weights ls = n·κ(1/φ) − Σ ln y_i.
//
// The score V = ½log|H| + D_p/(2φ) − ½log|S_λ|₊ − (Mp/2)·ln(2πφ) − ls(φ) is
// stationary in φ where, with r(a) = ln a − ψ(a) (> 0, about 1/(2a)),
//
//   G(φ) = D_p + Mp·φ − 2 Σ_i w_i r(a_i) = 0,
//   G′(φ) = Mp + (2/φ) Σ_i w_i (1 − a_i ψ′(a_i)),
//
// and φ follows ρ by ∂φ/∂ρ_j = −λ_j βᵀS_jβ / G′(φ). Rows of equal weight
// share their terms: the sums run over the distinct weights
// (inner/saturated_sums.hpp).
#pragma once

#include <cstddef>

#include "inner/saturated_sums.hpp"

namespace quelt {

// Floor of φ relative to the mean weight w̄: a shape w̄/φ above 1e8 is a
// response without measurable spread.
inline constexpr double kGammaScaleFloorRel = 1e-8;
// A slope |G′| below this gives neither a Newton step nor ∂φ/∂ρ (G′ has no
// units: G and φ both follow the units of the weights).
inline constexpr double kGammaFlatSlope = 1e-15;

// ls(φ) above.
double gamma_saturated_loglik(const SaturatedSums& s, double phi);

// φ at the root of G, G′(φ) and ls(φ).
struct GammaScale {
  double phi;
  double slope;
  double ls;
};

// The root of G by damped Newton updates, each kept within [0.1φ, 10φ] and
// above kGammaScaleFloorRel·w̄. The start solves G = 0 with r(a) replaced by
// its first two terms 1/(2a) + 1/(12a²):
//   (Σ 1/w_i)/6·φ² + (n − Mp)·φ − D_p = 0,
// close to the root at every shape (r(1) = 0.577 against 0.583). Each update
// is one pass over the distinct weights; where these are many, the root of
// their coarse copy (SaturatedSums::node_level) comes first, so that the
// exact weights take about one pass. G′ is that of the last pass, within
// 1e-5 of its value at the returned φ.
GammaScale gamma_profile_scale(double dp, const SaturatedSums& s, std::size_t mp);

}  // namespace quelt

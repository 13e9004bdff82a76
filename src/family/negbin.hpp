// Likelihood pieces of the negative binomial family (log link, size θ > 0,
// variance μ + μ²/θ) beyond its deviance: the saturated log-likelihood and
// the observed information in η with its η-derivative.
//
// With μ = e^η and ℓ(η) = y·ln μ − (y + θ)·ln(θ + μ) + (terms free of μ), the
// observed information is
//   −ℓ'' = θμ(θ + y)/(θ + μ)² = W·(θ + y)/(θ + μ),   W = μθ/(θ + μ) = μ²/V(μ),
// W the Fisher weight; it equals ½·∂²d/∂η² for the unit deviance d, is
// positive for every y ≥ 0, and tends to the Poisson weight μ as θ → ∞.
// Prior weights a are frequency weights: they multiply each piece.
#pragma once

#include <span>

#include "core/numeric.hpp"
#include "family/families.hpp"

namespace quelt {

// a·W·(θ + y)/(θ + μ') with μ' = max(μ, 1e-300), written as
// a·μ'(1 + y/θ)/(1 + μ'/θ)² so that it neither overflows for large μ nor
// loses the Poisson limit a·μ' at θ = ∞.
inline double negbin_observed_weight(double y, double mu, double a, double theta) {
  const double m = floor_at(mu, kMeanFloor);
  const double u = 1.0 + m / theta;
  return a * (m / u) * ((1.0 + y / theta) / u);
}

// ∂/∂η of the observed weight: a·θ(θ + y)μ(θ − μ)/(θ + μ)³, as
// a·μ'(1 + y/θ)(1 − μ'/θ)/(1 + μ'/θ)³ (Poisson limit a·μ').
inline double negbin_observed_weight_deta(double y, double mu, double a, double theta) {
  const double m = floor_at(mu, kMeanFloor);
  const double u = 1.0 + m / theta;
  return a * (m / u) * ((1.0 + y / theta) / u) * ((1.0 - m / theta) / u);
}

// The size θ from which the saturated log-likelihood goes through Stirling's
// series: its left-out terms are below 1e-18 there, while ln Γ(θ + y) − ln Γ(θ)
// taken directly already carries rounding of about 1e-12.
inline constexpr double kNegBinStirlingTheta = 1e3;

// The count from which, for θ below kNegBinStirlingTheta, ln Γ(θ + y) −
// ln Γ(y + 1) goes through Stirling's series: its left-out terms are below
// 1e-45 there, while each ln Γ taken directly rounds to about y·ln y·1e-16.
inline constexpr double kNegBinLargeCount = 1e6;

// Σ_i w_i·ls_i in index order, starting from −0.0 (so an empty y gives −0.0),
// where ls is the log-probability of y at μ = y:
//   ls = −θ·ln(1 + y/θ) + ln Γ(θ + y) − ln Γ(θ) − ln Γ(y + 1) + y·ln(y/(θ + y)),
// the last term 0 for y ≤ 0; from θ = kNegBinStirlingTheta on, ln Γ(θ + y) −
// ln Γ(θ) is taken with the other terms through Stirling's series, so that ls
// stays accurate up to the largest θ and tends to y·ln y − y − ln Γ(y + 1);
// below it, from y = kNegBinLargeCount on, ln Γ(θ + y) − ln Γ(y + 1) goes
// through Stirling's series, so that ls keeps its digits for large counts.
// w empty means unit weights; otherwise it holds at least y.size() entries.
double negbin_saturated_loglik(std::span<const double> y, double theta, std::span<const double> w);

}  // namespace quelt

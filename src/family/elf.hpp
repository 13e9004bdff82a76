// The extended log-F (ELF) loss of quantile regression: a smoothed check loss
// of level τ (0 < τ < 1) with scale σ > 0 and smoothing width λ > 0, as a
// function of the residual r = y − η, u = r/λ:
//
//   d(r) = 2·[(1−τ)λ·ln(1−τ) + τλ·ln τ − (1−τ)·r + λ·softplus(u)] / σ,
//
// d ≥ 0 with its minimum 0 at r = λ·ln((1−τ)/τ). As λ → 0, d tends to 2/σ
// times the check loss r·(τ − [r < 0]). With p = logistic(u), the
// derivatives of d/2 are
//
//   g = ∂(d/2)/∂r = (p + τ − 1)/σ          (so ∂(d/2)/∂η = −g),
//   h = ∂²(d/2)/∂η² = p(1−p)/(σλ),
//   ∂h/∂η = −p(1−p)(1−2p)/(σλ²).
//
// exp(κ − d/2) is a probability density in r: with a = λ/σ, a₁ = a(1−τ),
// a₂ = aτ,
//
//   κ = a·(τ ln τ + (1−τ) ln(1−τ)) − ln λ − ln B(a₁, a₂),
//
// B the Beta function, so κ is the saturated log-likelihood of one
// observation.
#pragma once

#include <cmath>

namespace quelt {

// ln(1 + eᵘ) without overflow: u + ln(1 + e⁻ᵘ) for u > 0, else ln(1 + eᵘ)
// (a NaN u takes the second form and gives NaN).
inline double elf_softplus(double u) {
  if (u > 0.0) return u + std::log1p(std::exp(-u));
  return std::log1p(std::exp(u));
}

// 1/(1 + e⁻ᵘ) without overflow.
inline double elf_logistic(double u) {
  if (u >= 0.0) return 1.0 / (std::exp(-u) + 1.0);
  const double e = std::exp(u);
  return e / (e + 1.0);
}

// The loss at fixed (τ, σ, λ), its constant c₀ = ln(1−τ)·(1−τ)λ + ln τ·τλ
// formed once.
struct ElfLoss {
  double tau, sigma, lambda, c0;
  ElfLoss(double tau_, double sigma_, double lambda_)
      : tau(tau_),
        sigma(sigma_),
        lambda(lambda_),
        c0(std::log(1.0 - tau_) * ((1.0 - tau_) * lambda_) + std::log(tau_) * (tau_ * lambda_)) {}
  // d(r), and p = logistic(r/λ) into `p`, both from e = exp(−|u|):
  // softplus(u) = max(u, 0) + ln(1 + e) and logistic(u) = 1/(1 + e) for
  // u ≥ 0, e/(1 + e) otherwise (the forms of elf_softplus and elf_logistic).
  double deviance(double r, double& p) const {
    const double u = r / lambda;
    const double e = std::exp(-std::fabs(u));
    const double softplus = u > 0.0 ? u + std::log1p(e) : std::log1p(e);
    p = u >= 0.0 ? 1.0 / (e + 1.0) : e / (e + 1.0);
    return 2.0 * (c0 - r * (1.0 - tau) + lambda * softplus) / sigma;
  }
};

// d(r) for one observation.
inline double elf_unit_deviance(double r, double tau, double sigma, double lambda) {
  double p;
  return ElfLoss(tau, sigma, lambda).deviance(r, p);
}

// g, h and ∂h/∂η from p = logistic(r/λ).
inline double elf_gradient(double p, double tau, double sigma) { return (p + (tau - 1.0)) / sigma; }
inline double elf_curvature(double p, double sigma, double lambda) {
  return p * (1.0 - p) / (sigma * lambda);
}
inline double elf_curvature_deta(double p, double sigma, double lambda) {
  return -(p * (1.0 - p) * (1.0 - 2.0 * p)) / (lambda * lambda * sigma);
}

// κ, with σ and λ floored at 1e-12.
double elf_log_normaliser(double tau, double sigma, double lambda);

}  // namespace quelt

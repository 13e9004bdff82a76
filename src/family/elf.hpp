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
#include <cstddef>

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

// A row's loss measured from its loss at a reference linear predictor η⁰.
// Since softplus(u) = u + softplus(−u), for the side s = ±1 of the curve and
// t = τ (s = +1) or τ − 1 (s = −1), d(r) = 2[c₀ + t·r + λ·softplus(−s·u)]/σ
// for every r, so that
//
//   d(y − η) − d(y − η⁰) = 2[−t·(η − η⁰) + λ·(softplus(−s·u) − softplus(−s·u⁰))]/σ.
//
// The right-hand side does not hold y: for a row far from the curve, where d
// is t·y up to terms of the size of η, it keeps the change of the loss that
// rounding would lose in d itself (and in any sum that holds it).
struct ElfRowOrigin {
  std::size_t row = 0;
  double side = 1.0;   // s: +1 when y ≥ η⁰, −1 below
  double eta0 = 0.0;   // η⁰
  double tail0 = 0.0;  // λ·softplus(−s·(y − η⁰)/λ)
};

// The origin of row `row` at η⁰ (its side from the sign of y − η⁰).
inline ElfRowOrigin elf_row_origin(const ElfLoss& f, std::size_t row, double y, double eta0) {
  const double side = y >= eta0 ? 1.0 : -1.0;
  return {row, side, eta0, f.lambda * elf_softplus(-side * ((y - eta0) / f.lambda))};
}

// d(y − η⁰): 2[c₀ + t·(y − η⁰) + tail0]/σ.
inline double elf_origin_loss(const ElfLoss& f, const ElfRowOrigin& o, double y) {
  const double t = o.side > 0.0 ? f.tau : f.tau - 1.0;
  return 2.0 * (f.c0 + t * (y - o.eta0) + o.tail0) / f.sigma;
}

// d(y − η) − d(y − η⁰) as above, and p = logistic((y − η)/λ) into `p`.
inline double elf_loss_change(const ElfLoss& f, const ElfRowOrigin& o, double y, double eta,
                              double& p) {
  const double u = (y - eta) / f.lambda;
  p = elf_logistic(u);
  const double t = o.side > 0.0 ? f.tau : f.tau - 1.0;
  const double tail = f.lambda * elf_softplus(-o.side * u);
  return 2.0 * (-t * (eta - o.eta0) + (tail - o.tail0)) / f.sigma;
}

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

// The extended log-F (ELF) loss of quantile regression: a smoothed check loss
// of level tau (0 < tau < 1) with scale sigma > 0 and smoothing width
// lambda > 0, as a function of the residual r = y - eta, u = r / lambda:
//
//   d(r) = 2 [ (1-tau) lambda ln(1-tau) + tau lambda ln(tau) - (1-tau) r
//              + lambda softplus(u) ] / sigma,
//
// d >= 0 with its minimum 0 at r = lambda ln((1-tau)/tau). As lambda -> 0,
// d tends to 2/sigma times the check loss r (tau - [r < 0]). With
// p = logistic(u), the derivatives of d/2 are
//
//   g = d(d/2)/dr = (p + tau - 1) / sigma        (so d(d/2)/deta = -g),
//   h = d^2(d/2)/deta^2 = p (1 - p) / (sigma lambda),
//   dh/deta = -p (1 - p) (1 - 2p) / (sigma lambda^2).
//
// exp(kappa - d/2) is a probability density in r: with a = lambda/sigma,
// a1 = a (1-tau), a2 = a tau,
//
//   kappa = a (tau ln tau + (1-tau) ln(1-tau)) - ln lambda - ln B(a1, a2),
//
// B the Beta function, so kappa is the saturated log-likelihood of one
// observation.
#pragma once

#include <cmath>

namespace quelt {

// ln(1 + e^u) without overflow: u + ln(1 + e^-u) for u > 0, else
// ln(1 + e^u) (a NaN u takes the second form and gives NaN).
inline double elf_softplus(double u) {
  if (u > 0.0) return u + std::log1p(std::exp(-u));
  return std::log1p(std::exp(u));
}

// 1 / (1 + e^-u) without overflow.
inline double elf_logistic(double u) {
  if (u >= 0.0) return 1.0 / (std::exp(-u) + 1.0);
  const double e = std::exp(u);
  return e / (e + 1.0);
}

// The loss at fixed (tau, sigma, lambda), its constant
// c0 = ln(1-tau) (1-tau) lambda + ln(tau) tau lambda formed once.
struct ElfLoss {
  double tau, sigma, lambda, c0;
  ElfLoss(double tau_, double sigma_, double lambda_)
      : tau(tau_),
        sigma(sigma_),
        lambda(lambda_),
        c0(std::log(1.0 - tau_) * ((1.0 - tau_) * lambda_) + std::log(tau_) * (tau_ * lambda_)) {}
  // d(r), and p = logistic(r / lambda) into `p`, both from e = exp(-|u|):
  // softplus(u) = max(u, 0) + ln(1 + e) and logistic(u) = 1/(1 + e) for
  // u >= 0, e/(1 + e) otherwise (the forms of elf_softplus and elf_logistic).
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

// g, h and dh/deta from p = logistic(r / lambda).
inline double elf_gradient(double p, double tau, double sigma) { return (p + (tau - 1.0)) / sigma; }
inline double elf_curvature(double p, double sigma, double lambda) {
  return p * (1.0 - p) / (sigma * lambda);
}
inline double elf_curvature_deta(double p, double sigma, double lambda) {
  return -(p * (1.0 - p) * (1.0 - 2.0 * p)) / (lambda * lambda * sigma);
}

// kappa, with sigma and lambda floored at 1e-12.
double elf_log_normaliser(double tau, double sigma, double lambda);

}  // namespace quelt

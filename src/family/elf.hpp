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

// d(r) for one observation, summed in the order of the formula above.
inline double elf_unit_deviance(double r, double tau, double sigma, double lambda) {
  const double u = r / lambda;
  return 2.0 *
         (std::log(1.0 - tau) * ((1.0 - tau) * lambda) + std::log(tau) * (tau * lambda) -
          r * (1.0 - tau) + lambda * elf_softplus(u)) /
         sigma;
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

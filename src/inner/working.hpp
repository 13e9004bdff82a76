// Working quantities of the parameterless iterative families: link for the
// start, link derivative g'(mu), variance V(mu), the working weight and
// response of one PIRLS iteration, the Fisher weight and its derivative with
// respect to eta, and the unit deviance of the step test.
//
// Floors: fl(v) = max(v, 1e-300) with the floor winning on NaN; the binomial
// clamp cl(v) limits v to [1e-15, 1 - 1e-15] by two comparisons (NaN passes).
//
//   family            g'(mu)          V(mu)        Fisher weight / w_prior
//   poisson, quasi    1/fl(mu)        fl(mu)       fl(mu)
//   gamma (log)       1/fl(mu)        fl(mu^2)     1 (mu^2 above the floor)
//   gamma (inverse)   -1/fl(mu^2)     fl(mu^2)     fl(mu^2)
//   inverse Gaussian  1/fl(mu)        fl(mu^3)     1/fl(mu) (loop: full Newton)
//   binomial, quasi   1/(q(1-q))      fl(q(1-q))   q(1-q),   q = cl(mu)
//
// The binomial variance is taken at the clamped mean, like g': a fitted mean
// that rounds to exactly 0 or 1 then gets the tiny weight q(1-q) ~ 1e-15
// instead of 1/(g'^2 * 1e-300) ~ 1e270.
//
// dw_deta(mu, eta, w_prior) is the analytic derivative of the Fisher weight
// (chain rule through mu(eta)), so it stays finite and exact at the edge of
// the domain where a difference stencil around mu would leave it.
#pragma once

#include <cmath>

#include "core/numeric.hpp"
#include "family/families.hpp"
#include "family/link.hpp"

namespace quelt {

inline constexpr double kWorkFloor = 1e-300;

inline double binomial_clamp(double mu) {
  double q = mu;
  if (q < kBinomialMuLow) q = kBinomialMuLow;
  if (q > kBinomialMuHigh) q = kBinomialMuHigh;
  return q;
}

// (w, z) of one observation.
struct WorkingPair {
  double w;
  double z;
};

// Family pieces used by PIRLS; specialised per family type below.
template <class Family>
struct Working;

// Fisher scoring: w = w_prior / (g'^2 V), z = eta + g' (y - mu) with the raw
// mu in the difference.
template <class Pieces>
inline WorkingPair fisher_pair(double y, double mu, double eta, double wp) {
  const double gp = Pieces::gprime(mu);
  const double v = Pieces::variance(mu);
  return {1.0 / (gp * (gp * v)) * wp, eta + gp * (y - mu)};
}

// The Fisher-scoring pair and weight of a family whose pieces D supplies
// gprime and variance: w = w_prior / (g'^2 V).
template <class D>
struct FisherScoring {
  static WorkingPair pair(double y, double mu, double eta, double wp) {
    return fisher_pair<D>(y, mu, eta, wp);
  }
  static double fisher_weight(double mu, double wp) {
    const double gp = D::gprime(mu);
    return wp / (gp * (gp * D::variance(mu)));
  }
};

struct LogLinkStart {
  static double link(double m) { return std::log(floor_at(m, kWorkFloor)); }
  static double gprime(double mu) { return 1.0 / floor_at(mu, kWorkFloor); }
};

template <>
struct Working<Poisson> : LogLinkStart, FisherScoring<Working<Poisson>> {
  static double variance(double mu) { return floor_at(mu, kWorkFloor); }
  // W = fl(mu): dW/deta = mu (0 where mu sits on the floor).
  static double dw_deta(double mu, double, double wp) { return mu > kWorkFloor ? wp * mu : 0.0; }
  static double unit_deviance(double y, double mu) { return poisson_unit_deviance(y, mu); }
};
template <>
struct Working<QuasiPoisson> : Working<Poisson> {};

template <>
struct Working<GammaLog> : LogLinkStart, FisherScoring<Working<GammaLog>> {
  static double variance(double mu) { return floor_at(mu * mu, kWorkFloor); }
  // W = 1 while mu^2 is above the variance floor; below it (mu <= 1e-150)
  // W = mu^2 / 1e-300, so dW/deta = 2 W; at the mean floor W is constant.
  static double dw_deta(double mu, double, double wp) {
    if (mu * mu > kWorkFloor || !(mu > kWorkFloor)) return 0.0;
    return 2.0 * fisher_weight(mu, wp);
  }
  static double unit_deviance(double y, double mu) { return gamma_unit_deviance(y, mu); }
};

template <>
struct Working<GammaInverse> : FisherScoring<Working<GammaInverse>> {
  static double link(double m) { return 1.0 / floor_at(m, kWorkFloor); }
  static double gprime(double mu) { return -1.0 / floor_at(mu * mu, kWorkFloor); }
  static double variance(double mu) { return floor_at(mu * mu, kWorkFloor); }
  // W = mu^2 and dmu/deta = -mu^2: dW/deta = -2 mu^3.
  static double dw_deta(double mu, double, double wp) {
    return mu * mu > kWorkFloor ? wp * (-2.0 * mu * mu * mu) : 0.0;
  }
  static double unit_deviance(double y, double mu) { return gamma_unit_deviance(y, mu); }
};

template <>
struct Working<InverseGaussian> : LogLinkStart, FisherScoring<Working<InverseGaussian>> {
  static double variance(double mu) { return floor_at(mu * (mu * mu), kWorkFloor); }
  // Full Newton with a per-observation Fisher fallback: alpha = 1 + (y - mu)
  // (V'/V + g''/g') = 1 + (y - mu)(3 mu^2 / V - 1/mu); the Newton pair is
  // used where alpha is positive and finite.
  static WorkingPair pair(double y, double mu, double eta, double wp) {
    const double m = floor_at(mu, kWorkFloor);
    const double v = variance(mu);
    const double gp = 1.0 / m;
    const double f = 1.0 / (gp * (gp * v));
    const double alpha = 1.0 + (y - mu) * (3.0 * mu * mu / v - (1.0 / (m * m)) / gp);
    if (alpha > 0.0 && std::isfinite(alpha))
      return {alpha * (f * wp), eta + (gp * (y - mu)) / alpha};
    return {f * wp, eta + gp * (y - mu)};
  }
  // Fisher W = 1/mu: dW/deta = -1/mu. Where mu^3 is floored (mu <= ~1e-100)
  // W = mu^2 / 1e-300 and dW/deta = 2 W; at the mean floor W is constant.
  static double dw_deta(double mu, double, double wp) {
    if (!(mu > kWorkFloor)) return 0.0;
    if (mu * (mu * mu) > kWorkFloor) return wp * (-1.0 / mu);
    return 2.0 * fisher_weight(mu, wp);
  }
  static double unit_deviance(double y, double mu) { return inverse_gaussian_unit_deviance(y, mu); }
};

template <>
struct Working<Bernoulli> : FisherScoring<Working<Bernoulli>> {
  static double link(double m) {
    const double q = binomial_clamp(m);
    return std::log(q / (1.0 - q));
  }
  static double gprime(double mu) {
    const double q = binomial_clamp(mu);
    return 1.0 / (q * (1.0 - q));
  }
  static double variance(double mu) {
    const double q = binomial_clamp(mu);
    return floor_at(q * (1.0 - q), kWorkFloor);
  }
  // W = q(1-q) and dq/deta = q(1-q): dW/deta = q(1-q)(1-2q). Evaluated from
  // eta so that the smaller of q and 1-q keeps full relative precision when
  // the mean is close to 0 or 1 (1 - mu alone would lose it); that smaller
  // factor is clamped at 1e-15 like the mean.
  static double dw_deta(double, double eta, double wp) {
    if (std::isnan(eta)) return eta;
    const double a = std::exp(-std::fabs(eta));
    const double large = 1.0 / (1.0 + a);
    double small = a * large;
    if (small < kBinomialMuLow) small = kBinomialMuLow;
    const double one_minus_2q = eta >= 0.0 ? small - large : large - small;
    return wp * (small * large * one_minus_2q);
  }
  static double unit_deviance(double y, double mu) { return binomial_unit_deviance(y, mu); }
};
template <>
struct Working<QuasiBinomial> : Working<Bernoulli> {};

}  // namespace quelt

// Working quantities of the iterative families: link g(μ) for the start,
// link derivative g'(μ), variance V(μ), the working weight and response of
// one PIRLS iteration, the Fisher weight and its derivative in η, and the
// unit deviance of the step test.
//
// Working<F> is a value built from the family value, `const Working<F>
// work{ctx.family}`, so that a family with shape parameters carries them
// into the row loop; for the parameterless families below it is empty.
//
// Floors: fl(v) = max(v, kWorkFloor) with the floor winning on NaN; the
// binomial clamp cl(v) limits v to [1e-15, 1 − 1e-15] (binomial_clamp).
// V(μ) is the family's own variance function (family/families.hpp), floored
// here where g' and the weights divide by it.
//
//   family            g'(μ)          V(μ)         Fisher weight / w_prior
//   poisson, quasi    1/fl(μ)        fl(μ)        fl(μ)
//   gamma (log)       1/fl(μ)        fl(μ²)       1 (μ² above the floor)
//   gamma (inverse)   −1/fl(μ²)      fl(μ²)       fl(μ²)
//   inverse Gaussian  1/fl(μ)        fl(μ³)       1/fl(μ) (loop: full Newton)
//   binomial, quasi   1/(q(1−q))     fl(q(1−q))   q(1−q),   q = cl(μ)
//
// The binomial variance is taken at the clamped mean, like g': a fitted mean
// that rounds to exactly 0 or 1 then gets the tiny weight q(1−q) ~ 1e-15
// instead of 1/(g'²·1e-300) ~ 1e270.
//
// dw_deta(μ, η, w_prior) is the analytic derivative of the Fisher weight
// (chain rule through μ(η)), so it stays finite and exact at the edge of
// the domain where a difference stencil around μ would leave it.
#pragma once

#include <cmath>

#include "core/numeric.hpp"
#include "family/families.hpp"
#include "family/link.hpp"

namespace quelt {

// Floor of the means and variances that g' and V divide by: far below any
// mean a fit meets, yet its reciprocal 1e300 is finite.
inline constexpr double kWorkFloor = 1e-300;

// (w, z) of one observation.
struct WorkingPair {
  double w;
  double z;
};

// The working quantities of family F, built from its value; specialised per
// family type below.
template <class Family>
struct Working;

// Fisher scoring from the g' and V of the pieces D: w = w_prior / (g'² V),
// z = η + g' (y − μ) with the raw μ in the difference.
template <class D>
struct FisherScoring {
  WorkingPair pair(double y, double mu, double eta, double wp) const {
    const D& d = static_cast<const D&>(*this);
    const double gp = d.gprime(mu);
    const double v = d.variance(mu);
    return {1.0 / (gp * (gp * v)) * wp, eta + gp * (y - mu)};
  }
  double fisher_weight(double mu, double wp) const {
    const D& d = static_cast<const D&>(*this);
    const double gp = d.gprime(mu);
    return wp / (gp * (gp * d.variance(mu)));
  }
  // The deviance of one observation of unit prior weight at the size of
  // responses of mean m: m²/V(m), which follows the deviance exactly under
  // y → c·y (as c for Poisson, 1 for Gamma, 1/c for the inverse Gaussian).
  double deviance_unit(double m) const {
    const D& d = static_cast<const D&>(*this);
    return m * (m / d.variance(m));
  }
};

// fl(V(μ)) of family F.
template <class F>
struct FlooredVariance {
  double variance(double mu) const { return floor_at(F::variance(mu), kWorkFloor); }
};

// Gaussian, identity link: W = w_prior. Its fit is closed-form and needs no
// working pair; the units of the data (score/data_units.hpp) read its
// Fisher weight like any other family's.
template <>
struct Working<Gaussian> : FlooredVariance<Gaussian>, FisherScoring<Working<Gaussian>> {
  explicit Working(const Gaussian&) {}
  double gprime(double) const { return 1.0; }
};

struct LogLinkStart {
  double link(double m) const { return std::log(floor_at(m, kWorkFloor)); }
  double gprime(double mu) const { return 1.0 / floor_at(mu, kWorkFloor); }
};

// Poisson and quasi-Poisson: V = μ, log link.
struct PoissonWorking : LogLinkStart, FlooredVariance<Poisson>, FisherScoring<PoissonWorking> {
  // W = fl(μ): dW/dη = μ (0 where μ sits on the floor).
  double dw_deta(double mu, double, double wp) const { return mu > kWorkFloor ? wp * mu : 0.0; }
  double unit_deviance(double y, double mu) const { return poisson_unit_deviance(y, mu); }
};
template <>
struct Working<Poisson> : PoissonWorking {
  explicit Working(const Poisson&) {}
};
template <>
struct Working<QuasiPoisson> : PoissonWorking {
  explicit Working(const QuasiPoisson&) {}
};

template <>
struct Working<GammaLog>
    : LogLinkStart, FlooredVariance<GammaLog>, FisherScoring<Working<GammaLog>> {
  explicit Working(const GammaLog&) {}
  // W = 1 while μ² is above the variance floor; below it (μ <= 1e-150)
  // W = μ²/1e-300, so dW/dη = 2W; at the mean floor W is constant.
  double dw_deta(double mu, double, double wp) const {
    if (mu * mu > kWorkFloor || !(mu > kWorkFloor)) return 0.0;
    return 2.0 * fisher_weight(mu, wp);
  }
  // The observed weight α·W = w_prior·y/μ (α = 1 + (y − μ)(V'/V + g''/g')
  // = y/μ), which moves the coefficients along ρ in the REML Hessian.
  double observed_weight(double y, double mu, double wp) const { return wp * y / mu; }
  double unit_deviance(double y, double mu) const { return gamma_unit_deviance(y, mu); }
};

template <>
struct Working<GammaInverse> : FlooredVariance<GammaInverse>, FisherScoring<Working<GammaInverse>> {
  explicit Working(const GammaInverse&) {}
  double link(double m) const { return 1.0 / floor_at(m, kWorkFloor); }
  double gprime(double mu) const { return -1.0 / floor_at(mu * mu, kWorkFloor); }
  // W = μ² and dμ/dη = −μ²: dW/dη = −2μ³.
  double dw_deta(double mu, double, double wp) const {
    return mu * mu > kWorkFloor ? wp * (-2.0 * mu * mu * mu) : 0.0;
  }
  double unit_deviance(double y, double mu) const { return gamma_unit_deviance(y, mu); }
};

// Inverse Gaussian, log link, V = μ³. Its REML score takes the observed
// information, so besides the Fisher pieces it has the full-Newton weight
// W_N = F·α, F = w_prior / (g'² V), α = 1 + (y − μ)(V'/V + g''/g')
// = 1 + (y − μ)(3μ²/V − 1/μ), and the derivative of W_N in η.
template <>
struct Working<InverseGaussian>
    : LogLinkStart, FlooredVariance<InverseGaussian>, FisherScoring<Working<InverseGaussian>> {
  explicit Working(const InverseGaussian&) {}
  double alpha(double y, double mu) const {
    const double m = floor_at(mu, kWorkFloor);
    const double gp = 1.0 / m;
    return 1.0 + (y - mu) * (3.0 * mu * mu / variance(mu) - (1.0 / (m * m)) / gp);
  }
  // W_N with no floor and no fallback: it may be zero or negative.
  double newton_weight(double y, double mu, double wp) const {
    const double gp = gprime(mu);
    return wp * (1.0 / (gp * (gp * variance(mu)))) * alpha(y, mu);
  }
  // dW_N/dη = (1/g') F [((G3 + V2 − V1² − G2²) e − (V1 + G2)) + α(−V1 − 2 G2)]
  // with e = y − μ, V1 = V'/V, V2 = V''/V, G2 = g''/g', G3 = g'''/g': the
  // derivative of F·α written without dividing by α, so it holds for every
  // sign of α. 0 where g' < 1e-12 (means beyond 1e12, whose weights are
  // negligible).
  double newton_weight_deta(double y, double mu, double wp) const {
    const double mf = floor_at(mu, kWorkFloor);
    const double gp = 1.0 / mf;
    if (!(gp >= 1e-12)) return 0.0;
    const double g2 = (-1.0 / (mf * mf)) / gp;
    const double g3 = (2.0 / (mf * mf * mf)) / gp;
    const double v = variance(mu);
    const double v1 = 3.0 * mu * mu / v;
    const double v2 = 6.0 * mu / v;
    const double e = y - mu;
    const double a = (v1 + g2) * e + 1.0;
    const double fisher = wp * (1.0 / (gp * (gp * v)));
    return (1.0 / gp) * fisher *
           ((((g3 + (v2 - v1 * v1)) - g2 * g2) * e - (v1 + g2)) + a * (-v1 - 2.0 * g2));
  }
  // The PIRLS pair: the full-Newton pair (α F w_prior, η + g'(y − μ)/α)
  // where α is positive and finite, else the Fisher pair of this
  // observation.
  WorkingPair pair(double y, double mu, double eta, double wp) const {
    const double m = floor_at(mu, kWorkFloor);
    const double v = variance(mu);
    const double gp = 1.0 / m;
    const double f = 1.0 / (gp * (gp * v));
    const double a = alpha(y, mu);
    if (a > 0.0 && std::isfinite(a)) return {a * (f * wp), eta + (gp * (y - mu)) / a};
    return {f * wp, eta + gp * (y - mu)};
  }
  // Fisher W = 1/μ: dW/dη = −1/μ. Where μ³ is floored (μ <= ~1e-100)
  // W = μ²/1e-300 and dW/dη = 2W; at the mean floor W is constant.
  double dw_deta(double mu, double, double wp) const {
    if (!(mu > kWorkFloor)) return 0.0;
    if (mu * (mu * mu) > kWorkFloor) return wp * (-1.0 / mu);
    return 2.0 * fisher_weight(mu, wp);
  }
  double unit_deviance(double y, double mu) const { return inverse_gaussian_unit_deviance(y, mu); }
};

// Binomial and quasi-binomial: V = q(1 − q), q = cl(μ), logit link.
struct BinomialWorking : FlooredVariance<Bernoulli>, FisherScoring<BinomialWorking> {
  double link(double m) const {
    const double q = binomial_clamp(m);
    return std::log(q / (1.0 - q));
  }
  double gprime(double mu) const {
    const double q = binomial_clamp(mu);
    return 1.0 / (q * (1.0 - q));
  }
  // W = q(1−q) and dq/dη = q(1−q): dW/dη = q(1−q)(1−2q). Evaluated from η
  // so that the smaller of q and 1−q keeps full relative precision when the
  // mean is close to 0 or 1 (1 − μ alone would lose it); that smaller factor
  // is clamped at the binomial clamp's lower end like the mean.
  double dw_deta(double, double eta, double wp) const {
    if (std::isnan(eta)) return eta;
    const double a = std::exp(-std::fabs(eta));
    const double large = 1.0 / (1.0 + a);
    double small = a * large;
    if (small < kBinomialMuLow) small = kBinomialMuLow;
    const double one_minus_2q = eta >= 0.0 ? small - large : large - small;
    return wp * (small * large * one_minus_2q);
  }
  double unit_deviance(double y, double mu) const { return binomial_unit_deviance(y, mu); }
  // Proportions have no units: the deviance of one observation is of order 1
  // at every mean (m²/V(m) would grow without bound as m → 1).
  double deviance_unit(double) const { return 1.0; }
};
template <>
struct Working<Bernoulli> : BinomialWorking {
  explicit Working(const Bernoulli&) {}
};
template <>
struct Working<QuasiBinomial> : BinomialWorking {
  explicit Working(const QuasiBinomial&) {}
};

}  // namespace quelt

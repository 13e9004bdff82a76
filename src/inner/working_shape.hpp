// Working quantities of the families with shape parameters (scaled t,
// Tweedie, negative binomial), built from the family value so that ν, σ², p
// and θ reach the row loop. Same interface as inner/working.hpp: link(m) for
// the start, pair(y, μ, η, w_prior) → (w, z), dw_deta and unit_deviance.
//
// Scaled t (identity link, D_i = w_i(ν+1)·ln(1 + r²/(νσ²)), r = y − μ). Its
// expected information E[½∂²D/∂μ²] = w_prior·(ν+1)/((ν+3)σ²) does not depend
// on μ, so Fisher scoring takes
//   w = w_prior·(ν+1)/((ν+3)σ²),   z = η + (ν+3)σ²·r/(νσ² + r²)
// (z − η is the score ½|∂D/∂μ| over the information). These weights are
// those of the penalized Hessian H = XᵀWX + S_λ the shape-aware score uses.
// Where Fisher scoring stalls, TDistObservedWorking iterates instead with
//   w = w_prior·(ν+1)/(νσ² + r²),   z = y,
// the weights of the quadratic that touches ½·D from above at the current μ
// (a majorizer), so each step lowers the penalized deviance; both iterations
// stop at the same stationary point.
//
// Tweedie (log link, V = μ^p): Fisher scoring, w = w_prior·μ^(2−p).
//
// Negative binomial (log link, V = μ + μ²/θ): the observed information
// w = w_prior·W·(θ + y)/(θ + μ), W = μθ/(θ + μ) the Fisher weight, which is
// positive for every y ≥ 0, with z = η + (y − μ)/(μ·α), α = (θ + y)/(θ + μ).
// Its dw_deta is that of the Fisher weight W (the record's derivative does not
// see y); the observed weight's own η-derivative is in family/negbin.hpp.
#pragma once

#include <cmath>

#include "core/numeric.hpp"
#include "family/families.hpp"
#include "family/negbin.hpp"
#include "inner/working.hpp"

namespace quelt {

template <>
struct Working<TDist> {
  // The weights do not depend on μ: the loop forms XᵀWX once.
  static constexpr bool kWeightsFixed = true;
  explicit Working(const TDist& f)
      : nu(f.nu),
        sigma2(f.sigma2),
        s(f.nu * f.sigma2),
        lift((f.nu + 3.0) * floor_at(f.sigma2, kWorkFloor)),
        unit_weight((f.nu + 1.0) / lift) {}
  double link(double m) const { return m; }
  WorkingPair pair(double y, double mu, double eta, double wp) const {
    const double r = y - mu;
    return {wp * unit_weight, eta + lift * r / (s + r * r)};
  }
  double fisher_weight(double, double wp) const { return wp * unit_weight; }
  double dw_deta(double, double, double) const { return 0.0; }
  double unit_deviance(double y, double mu) const { return tdist_unit_deviance(y, mu, nu, sigma2); }
  // The t deviance (ν+1)·ln(1 + r²/(νσ²)) has no units: one observation's
  // share is of order 1 at every level of y.
  double deviance_unit(double) const { return 1.0; }

  double nu, sigma2;
  double s;            // νσ²
  double lift;         // (ν+3)σ², σ² floored at kWorkFloor
  double unit_weight;  // (ν+1)/((ν+3)σ²)
};

// The majorizing iteration of the scaled t (see above).
struct TDistObservedWorking {
  explicit TDistObservedWorking(const TDist& f) : nu(f.nu), sigma2(f.sigma2), s(f.nu * f.sigma2) {}
  double link(double m) const { return m; }
  WorkingPair pair(double y, double mu, double, double wp) const {
    const double r = y - mu;
    return {wp * (nu + 1.0) / (s + r * r), y};
  }
  double dw_deta(double, double, double) const { return 0.0; }
  double unit_deviance(double y, double mu) const { return tdist_unit_deviance(y, mu, nu, sigma2); }
  double deviance_unit(double) const { return 1.0; }

  double nu, sigma2, s;
};

template <>
struct Working<Tweedie> : LogLinkStart, FisherScoring<Working<Tweedie>> {
  explicit Working(const Tweedie& f) : p(f.p) {}
  // max(μ'^p, 1e-300), μ' = max(μ, 1e-300).
  double variance(double mu) const {
    return floor_at(std::pow(floor_at(mu, kWorkFloor), p), kWorkFloor);
  }
  // W = μ^(2−p) while μ^p is above the variance floor: dW/dη = (2−p)W; where
  // μ^p is floored W = μ²/1e-300 and dW/dη = 2W; at the mean floor W is
  // constant.
  double dw_deta(double mu, double, double wp) const {
    if (!(mu > kWorkFloor)) return 0.0;
    const double w = fisher_weight(mu, wp);
    return std::pow(mu, p) > kWorkFloor ? (2.0 - p) * w : 2.0 * w;
  }
  double unit_deviance(double y, double mu) const { return tweedie_unit_deviance(y, mu, p); }

  double p;
};

template <>
struct Working<NegBin> : LogLinkStart {
  explicit Working(const NegBin& f) : theta(f.theta) {}
  WorkingPair pair(double y, double mu, double eta, double wp) const {
    const double m = floor_at(mu, kWorkFloor);
    const double alpha = (1.0 + y / theta) / (1.0 + m / theta);
    return {negbin_observed_weight(y, mu, wp, theta), eta + (y - mu) / (m * alpha)};
  }
  // W = w_prior·μ'θ/(θ + μ'): dW/dη = W·θ/(θ + μ'), 0 at the mean floor.
  double dw_deta(double mu, double, double wp) const {
    if (!(mu > kWorkFloor)) return 0.0;
    const double u = 1.0 + mu / theta;
    return wp * (mu / u) / u;
  }
  double unit_deviance(double y, double mu) const { return negbin_unit_deviance(y, mu, theta); }
  // m²/V(m) with V(m) = m + m²/θ.
  double deviance_unit(double m) const { return m / (1.0 + m / theta); }

  double theta;
};

}  // namespace quelt

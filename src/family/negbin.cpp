#include "family/negbin.hpp"

#include <cmath>
#include <string>

#include "core/error.hpp"
#include "core/gamma_functions.hpp"

namespace quelt {

namespace {

// ln Γ(θ + y) − ln Γ(θ) − θ·ln(1 + y/θ) + y·ln(y/(θ + y)) for θ at or above
// kNegBinStirlingTheta and y > 0. Stirling's series ln Γ(x) = (x − ½)ln x − x +
// ½ln 2π + B(x), B(x) = 1/(12x) − 1/(360x³) + O(x⁻⁵), at x = θ + y and x = θ
// turns it into
//   −½·ln(1 + y/θ) + y·ln y − y + B(θ + y) − B(θ),
// whose terms do not grow with θ (taken directly, ln Γ(θ + y) − ln Γ(θ) loses
// digits like θ·ln θ·2⁻⁵³, all of them past θ ≈ 1e15). The left-out B terms
// are below 1/(1260θ⁵).
double large_theta_terms(double y, double theta) {
  const double t = theta + y;
  const double b =
      -y / (12.0 * theta * t) + (1.0 / (theta * theta * theta) - 1.0 / (t * t * t)) / 360.0;
  return -0.5 * std::log1p(y / theta) + y * std::log(y) - y + b;
}

// Stirling's remainder B(x) = 1/(12x) − 1/(360x³) + 1/(1260x⁵) (next term
// 1/(1680x⁷)).
double stirling_remainder(double x) {
  const double r = 1.0 / x, r2 = r * r;
  return r * (1.0 / 12.0 - r2 * (1.0 / 360.0 - r2 / 1260.0));
}

// ls for a count y ≥ kNegBinLargeCount and θ below kNegBinStirlingTheta. With
// a = y + 1 and d = θ − 1, Stirling's series at a + d = θ + y and at a gives
//   ln Γ(θ + y) − ln Γ(y + 1) = d·ln a + (a + d − ½)·log1p(d/a) − d + B(θ + y) − B(a),
// and y·ln(y/(θ + y)) = −y·log1p(θ/y); every term is of the size of θ·ln y,
// where ln Γ(θ + y) and ln Γ(y + 1) taken apart are of the size of y·ln y and
// round to a multiple of y·ln y·2⁻⁵³ each (4e-4 at y = 1e11: noise that the
// θ-differences of the score divide by their step).
double large_count_loglik(double y, double theta, double lg_theta) {
  const double a = y + 1.0, d = theta - 1.0;
  const double lg_ratio = d * std::log(a) + ((a + d) - 0.5) * std::log1p(d / a) - d +
                          (stirling_remainder(theta + y) - stirling_remainder(a));
  return -theta * std::log1p(y / theta) + lg_ratio - lg_theta - y * std::log1p(theta / y);
}

}  // namespace

double negbin_saturated_loglik(std::span<const double> y, double theta, std::span<const double> w) {
  const std::size_t n = y.size();
  if (!w.empty() && w.size() < n)
    invariant_failed("negbin_saturated_loglik: w holds " + std::to_string(w.size()) +
                     " entries for " + std::to_string(n) + " responses");
  const double lg_theta = ln_gamma(theta);
  double sum = -0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = y[i];
    // y = 0 has ls = 0: every term vanishes (ln Γ(θ) − ln Γ(θ) would be NaN
    // where ln Γ(θ) overflows).
    double ls = 0.0;
    if (v > 0.0 && theta >= kNegBinStirlingTheta) {
      ls = large_theta_terms(v, theta) - ln_gamma(v + 1.0);
    } else if (v >= kNegBinLargeCount) {
      ls = large_count_loglik(v, theta, lg_theta);
    } else if (v > 0.0) {
      // θ·ln(θ/(θ + y)) through log1p keeps its accuracy for θ much larger than y.
      const double b = v * std::log(v / (theta + v));
      ls =
          -theta * std::log1p(v / theta) + (ln_gamma(theta + v) - lg_theta - ln_gamma(v + 1.0) + b);
    }
    sum += w.empty() ? ls : w[i] * ls;
  }
  return sum;
}

}  // namespace quelt

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

#include "family/negbin.hpp"

#include <cmath>
#include <string>

#include "core/error.hpp"
#include "core/special.hpp"

namespace quelt {

double negbin_saturated_loglik(std::span<const double> y, double theta, std::span<const double> w) {
  const std::size_t n = y.size();
  if (!w.empty() && w.size() < n)
    invariant_failed("negbin_saturated_loglik: w holds " + std::to_string(w.size()) +
                     " entries for " + std::to_string(n) + " responses");
  const double lg_theta = ln_gamma(theta);
  double sum = -0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = y[i];
    // θ·ln(θ/(θ + y)) through log1p keeps its accuracy for θ much larger than y.
    const double b = v > 0.0 ? v * std::log(v / (theta + v)) : 0.0;
    const double ls =
        -theta * std::log1p(v / theta) + (ln_gamma(theta + v) - lg_theta - ln_gamma(v + 1.0) + b);
    sum += w.empty() ? ls : w[i] * ls;
  }
  return sum;
}

}  // namespace quelt

#include "family/tdist.hpp"

#include <cmath>
#include <string>

#include "core/error.hpp"

namespace quelt {

TDistObsDerivs tdist_obs_derivs(const TDist& family, std::span<const double> y,
                                std::span<const double> mu, std::span<const double> w) {
  const std::size_t n = y.size();
  if (mu.size() < n || (!w.empty() && w.size() < n))
    invariant_failed("tdist_obs_derivs: " + std::to_string(mu.size()) + " means and " +
                     std::to_string(w.size()) + " weights for " + std::to_string(n) + " responses");
  const double nu = family.nu, sigma2 = family.sigma2;
  const double s = nu * sigma2, nu1 = nu + 1.0, nu2 = nu - 2.0;
  TDistObsDerivs d{Vector(n), Matrix(n, 2), Matrix(n, 2), Matrix(n, 2)};
  // Every term is written in the bounded ratios a = r/Q, b = s/Q, c = r²/Q
  // (b + c = 1) and at most one factor 1/Q: Q², Q³ and r³ of a residual far
  // beyond the noise overflow, where the ratios stay in range.
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w.empty() ? 1.0 : w[i];
    const double r = y[i] - mu[i], r2 = r * r;
    const double q = s + r2, inv_q = 1.0 / q;
    const double a = r * inv_q, b = s * inv_q, c = r2 * inv_q;
    const double l = s > 0.0 ? std::log1p(r2 / s) : 0.0;
    d.dev_eta3[i] = 4.0 * wi * nu1 * a * (3.0 * b - c) * inv_q;
    d.dev_shape(i, 0) = -wi * nu1 * c;
    d.dev_shape(i, 1) = nu2 * wi * (l - nu1 * c / nu);
    d.dev_shape_eta(i, 0) = 2.0 * wi * nu1 * b * a;
    d.dev_shape_eta(i, 1) = -2.0 * wi * a * nu2 * (1.0 - nu1 * sigma2 * inv_q);
    d.dev_shape_eta2(i, 0) = 2.0 * wi * nu1 * b * (3.0 * c - b) * inv_q;
    d.dev_shape_eta2(i, 1) =
        2.0 * wi * nu2 * ((b - c) + nu1 * sigma2 * inv_q * (3.0 * c - b)) * inv_q;
  }
  return d;
}

}  // namespace quelt

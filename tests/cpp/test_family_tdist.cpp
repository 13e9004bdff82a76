#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "derivative_check.hpp"
#include "family/families.hpp"
#include "family/tdist.hpp"

namespace quelt {
namespace {

using V = std::vector<double>;
using testing::DiffScale;
using testing::DiffTolerance;
using testing::expect_derivative_matches;

// Every array against differences of the one below it, down to the weighted
// deviance D(μ, log σ², log(ν − 2)) of one observation: ∂D/∂t from D,
// ∂²D/∂μ∂t from ∂D/∂t, ∂³D/∂μ²∂t from ∂²D/∂μ∂t, and ∂³D/∂μ³ from second
// differences of D. Residuals on both sides of the inflection r² = νσ²/3 and
// at r = 0, over ν, σ² and weights (w = 1 passed as no weights).
TEST(TDist, ObsDerivsMatchDifferencesOfTheDeviance) {
  const double y = 1.3;
  const DiffTolerance first{1e-7, 1e-9, DiffScale::EntryDifference, 1e-5};
  const DiffTolerance third{1e-4, 1e-5, DiffScale::EntryDifference, 1e-3};
  for (double nu : {2.5, 5.0, 30.0})
    for (double sigma2 : {0.3, 1.0, 4.0})
      for (double r : {-3.0, -0.4, 0.0, 0.7, 5.0})
        for (double w : {1.0, 2.0}) {
          const std::string at = "nu=" + std::to_string(nu) + " sigma2=" + std::to_string(sigma2) +
                                 " r=" + std::to_string(r) + " w=" + std::to_string(w);
          const double mu = y - r, a0 = std::log(sigma2), b0 = std::log(nu - 2.0);
          // The arrays and D at (μ, log σ², log(ν − 2)).
          auto derivs = [&](double m, double a, double b) {
            return tdist_obs_derivs(tdist_identity(2.0 + std::exp(b), std::exp(a)), V{y}, V{m},
                                    w == 1.0 ? V{} : V{w});
          };
          auto dev = [&](double m, double a, double b) {
            return tdist_deviance(V{y}, V{m}, V{w}, 2.0 + std::exp(b), std::exp(a));
          };
          const double h2 = 1e-3;
          auto d2_mu = [&](double m) {
            return (dev(m + h2, a0, b0) - 2 * dev(m, a0, b0) + dev(m - h2, a0, b0)) / (h2 * h2);
          };
          expect_derivative_matches(
              d2_mu, [&](double m) { return derivs(m, a0, b0).dev_eta3[0]; }, mu, third,
              "dev_eta3 " + at);
          for (std::size_t k = 0; k < 2; ++k) {
            const std::string label = (k == 0 ? " log sigma2 " : " log(nu-2) ") + at;
            auto at_t = [&](double t) { return k == 0 ? derivs(mu, t, b0) : derivs(mu, a0, t); };
            expect_derivative_matches(
                [&](double t) { return k == 0 ? dev(mu, t, b0) : dev(mu, a0, t); },
                [&](double t) { return at_t(t).dev_shape(0, k); }, k == 0 ? a0 : b0, first,
                "dev_shape" + label);
            expect_derivative_matches(
                [&](double m) { return derivs(m, a0, b0).dev_shape(0, k); },
                [&](double m) { return derivs(m, a0, b0).dev_shape_eta(0, k); }, mu, first,
                "dev_shape_eta" + label);
            expect_derivative_matches(
                [&](double m) { return derivs(m, a0, b0).dev_shape_eta(0, k); },
                [&](double m) { return derivs(m, a0, b0).dev_shape_eta2(0, k); }, mu, first,
                "dev_shape_eta2" + label);
          }
        }
}

}  // namespace
}  // namespace quelt

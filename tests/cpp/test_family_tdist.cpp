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

// Under y → k·y (μ, r by k, σ² by k²) the arrays scale as D does not and its
// μ-derivatives do: ∂D/∂t by 1, ∂²D/∂μ∂t by 1/k, ∂³D/∂μ²∂t by 1/k², ∂³D/∂μ³
// by 1/k³. With k = 2^±200 the powers of Q reach 1e±360, past the float
// range, while the arrays do not. And a residual 2^460 spreads from the
// curve gives the limits ∂D/∂log σ² = −w(ν+1) and ∂D/∂log(ν−2) =
// (ν−2)w(ln(r²/νσ²) − (ν+1)/ν), every array finite.
TEST(TDist, ObsDerivsFollowTheUnitsAndStayFiniteFarFromTheCurve) {
  auto rel_eq = [](double got, double want, const std::string& what) {
    EXPECT_NEAR(got, want, 1e-12 * std::fabs(want) + 1e-300) << what;
  };
  for (double nu : {2.5, 5.0, 30.0})
    for (double r : {-3.0, -0.4, 0.0, 0.7, 5.0})
      for (int e : {-200, 200}) {
        const double k = std::ldexp(1.0, e), sigma2 = 0.8;
        const std::string at =
            "nu=" + std::to_string(nu) + " r=" + std::to_string(r) + " k=2^" + std::to_string(e);
        const TDistObsDerivs u =
            tdist_obs_derivs(tdist_identity(nu, sigma2), V{1.0 + r}, V{1.0}, V{2.0});
        const TDistObsDerivs s =
            tdist_obs_derivs(tdist_identity(nu, sigma2 * k * k), V{k * (1.0 + r)}, V{k}, V{2.0});
        rel_eq(s.dev_eta3[0] * k * k * k, u.dev_eta3[0], "dev_eta3 " + at);
        for (std::size_t j = 0; j < 2; ++j) {
          rel_eq(s.dev_shape(0, j), u.dev_shape(0, j), "dev_shape " + at);
          rel_eq(s.dev_shape_eta(0, j) * k, u.dev_shape_eta(0, j), "dev_shape_eta " + at);
          rel_eq(s.dev_shape_eta2(0, j) * k * k, u.dev_shape_eta2(0, j), "dev_shape_eta2 " + at);
        }
      }
  for (double nu : {2.5, 5.0, 30.0})
    for (double r : {-std::ldexp(1.0, 460), std::ldexp(1.0, 460)}) {
      const TDistObsDerivs d = tdist_obs_derivs(tdist_identity(nu, 1.0), V{r}, V{0.0}, V{2.0});
      const std::string at = "nu=" + std::to_string(nu) + " r=" + std::to_string(r);
      for (double v : {d.dev_eta3[0], d.dev_shape_eta(0, 0), d.dev_shape_eta(0, 1),
                       d.dev_shape_eta2(0, 0), d.dev_shape_eta2(0, 1)})
        EXPECT_TRUE(std::isfinite(v)) << at;
      rel_eq(d.dev_shape(0, 0), -2.0 * (nu + 1.0), "dev_shape log sigma2 " + at);
      rel_eq(d.dev_shape(0, 1), 2.0 * (nu - 2.0) * (std::log(r * r / nu) - (nu + 1.0) / nu),
             "dev_shape log(nu-2) " + at);
    }
}

}  // namespace
}  // namespace quelt

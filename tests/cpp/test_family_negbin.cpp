#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/gamma_functions.hpp"
#include "derivative_check.hpp"
#include "family/families.hpp"
#include "family/negbin.hpp"

namespace quelt {
namespace {

using V = std::vector<double>;
using testing::DiffScale;
using testing::DiffTolerance;
using testing::expect_derivative_matches;

// The observed weight is ½·∂²d/∂η² of the unit deviance (five-point second
// difference, relative 1e-6), and its η-derivative the difference of the
// weight, on a grid of (y, μ, θ) and prior weights.
TEST(NegBin, ObservedWeightIsHalfTheDevianceCurvature) {
  for (double y : {0.0, 1.0, 3.0, 17.0})
    for (double mu : {0.05, 1.0, 3.0, 40.0})
      for (double theta : {0.3, 3.0, 50.0})
        for (double a : {1.0, 2.5}) {
          SCOPED_TRACE(::testing::Message()
                       << "y=" << y << " mu=" << mu << " theta=" << theta << " a=" << a);
          const double eta = std::log(mu), h = 1e-3;
          auto half_d = [&](double e) {
            return 0.5 * a * negbin_unit_deviance(y, std::exp(e), theta);
          };
          const double curv = (-half_d(eta + 2 * h) + 16 * half_d(eta + h) - 30 * half_d(eta) +
                               16 * half_d(eta - h) - half_d(eta - 2 * h)) /
                              (12 * h * h);
          const double wobs = negbin_observed_weight(y, mu, a, theta);
          EXPECT_GT(wobs, 0.0);
          EXPECT_NEAR(wobs, curv, 1e-6 * std::fabs(curv));
          expect_derivative_matches(
              [&](double e) { return negbin_observed_weight(y, std::exp(e), a, theta); },
              [&](double e) { return negbin_observed_weight_deta(y, std::exp(e), a, theta); }, eta,
              DiffTolerance{1e-6, 1e-6 * wobs, DiffScale::EntryDifference, 1e-5}, "w'");
        }
  // Where the Fisher-scoring Newton factor 1 − (y − μ)/μ gives −0.75.
  EXPECT_DOUBLE_EQ(negbin_observed_weight(3.0, 1.0, 1.0, 3.0), 1.125);
}

// exp(ls(y) − d(y, μ)/2) is the probability of y: it sums to 1 over y, on
// either side of the size from which ls goes through Stirling's series, and
// ls is continuous there.
TEST(NegBin, SaturatedLogLikAndDevianceGiveAPmf) {
  for (double theta : {0.4, 3.0, 200.0, 5000.0})
    for (double mu : {0.2, 4.0, 30.0}) {
      SCOPED_TRACE(::testing::Message() << "theta=" << theta << " mu=" << mu);
      double total = 0.0;
      for (double y = 0; y < 4000; ++y)
        total += std::exp(negbin_saturated_loglik(V{y}, theta, {}) -
                          0.5 * negbin_unit_deviance(y, mu, theta));
      EXPECT_NEAR(total, 1.0, 1e-11);
    }
  for (double y : {1.0, 7.0, 250.0, 1e5})
    EXPECT_NEAR(negbin_saturated_loglik(V{y}, std::nextafter(kNegBinStirlingTheta, 0.0), {}),
                negbin_saturated_loglik(V{y}, kNegBinStirlingTheta, {}),
                1e-11 * (1.0 + y * std::log(y)));
  // An empty sum is −0.0; a weight of 2 counts as a duplicated row.
  EXPECT_TRUE(std::signbit(negbin_saturated_loglik(V{}, 2.0, V{})));
  EXPECT_NEAR(negbin_saturated_loglik(V{2.0, 9.0}, 1.5, V{2.0, 1.0}),
              negbin_saturated_loglik(V{2.0, 2.0, 9.0}, 1.5, {}), 1e-13);
}

// As θ → ∞ every piece tends to its Poisson counterpart, the gap shrinking
// like 1/θ down to rounding (no cancellation of ln Γ(θ + y) − ln Γ(θ) or of
// ln((θ + y)/(θ + μ)) up to the largest θ): the weight and its slope to a·μ,
// the saturated log-likelihood to y·ln y − y − ln Γ(y + 1), the deviance to
// the Poisson deviance.
TEST(NegBin, TendsToPoissonAsThetaGrows) {
  const double a = 1.5;
  for (double y : {0.0, 1.0, 6.0, 25.0})
    for (double mu : {0.5, 6.0, 20.0}) {
      SCOPED_TRACE(::testing::Message() << "y=" << y << " mu=" << mu);
      const double ls_pois = (y > 0 ? y * std::log(y) : 0.0) - y - std::lgamma(y + 1);
      const double d_pois = poisson_deviance(V{y}, V{mu}, {});
      const double scale = (1 + y + mu) * (1 + y + mu);
      for (double theta : {1e2, 1e4, 1e6, 1e9, 1e15, 1e20, 1e308}) {
        const double bound = scale / theta + 1e-12 * scale;
        EXPECT_NEAR(negbin_observed_weight(y, mu, a, theta), a * mu, a * mu * bound);
        EXPECT_NEAR(negbin_observed_weight_deta(y, mu, a, theta), a * mu, 3 * a * mu * bound);
        EXPECT_NEAR(negbin_saturated_loglik(V{y}, theta, {}), ls_pois, bound);
        EXPECT_NEAR(negbin_deviance(V{y}, V{mu}, {}, theta), d_pois, bound);
      }
    }
}

// Large counts keep their digits: ∂ls/∂θ = ψ(θ + y) − ψ(θ) − ln(1 + y/θ)
// matches the central difference of ls in θ (taken directly it carried noise
// of about 0.2 at y = 1e11); the unit deviance matches its first form in
// extended precision while that holds its digits (y ≤ 1e6), and near μ = y
// its quadratic limit (y − μ)²/V(μ) at every count (taken directly it
// carried 1e-5 of rounding at y = 1e11).
TEST(NegBin, LargeCountsKeepTheirDigits) {
  for (double y : {1e4, 9.99e5, 1e6, 3e8, 1e11, 1e15})
    for (double theta : {0.5, 3.0, 40.0}) {
      SCOPED_TRACE(::testing::Message() << "y=" << y << " theta=" << theta);
      const double h = 1e-3 * theta;
      const double diff = (negbin_saturated_loglik(V{y}, theta + h, {}) -
                           negbin_saturated_loglik(V{y}, theta - h, {})) /
                          (2 * h);
      const double slope = digamma(theta + y) - digamma(theta) - std::log1p(y / theta);
      EXPECT_NEAR(diff, slope, 1e-5 * (1.0 + std::fabs(slope)));
      for (double rel : {-1e-4, 1e-6}) {
        const double mu = y * (1.0 + rel);
        const double quad = (y - mu) * (y - mu) / (mu + mu * mu / theta);
        EXPECT_NEAR(negbin_unit_deviance(y, mu, theta), quad, 1e-3 * quad);
      }
      if (y > 1e6) continue;
      for (double rel : {-0.3, 0.5}) {
        const double mu = y * (1.0 + rel);
        const long double yl = y, ml = mu, tl = theta;
        const long double first =
            2.0L * (yl * std::log(yl / ml) - (yl + tl) * std::log((yl + tl) / (tl + ml)));
        const double d = negbin_unit_deviance(y, mu, theta);
        EXPECT_NEAR(d, static_cast<double>(first), 1e-10 * (1.0 + d));
      }
    }
}

}  // namespace
}  // namespace quelt

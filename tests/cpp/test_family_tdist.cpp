#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "central_difference.hpp"
#include "family/families.hpp"
#include "family/tdist.hpp"

namespace quelt {
namespace {

using V = std::vector<double>;
using testing::central_difference;
using testing::second_difference;
using testing::third_difference;

// Every array against differences of the weighted deviance
// D(μ, log σ², log(ν − 2)) of one observation, over residuals on both sides
// of the inflection r² = νσ²/3, at r = 0, and over ν, σ² and weights.
TEST(TDist, ObsDerivsMatchDifferencesOfTheDeviance) {
  const double y = 1.3;
  for (double nu : {2.5, 5.0, 30.0})
    for (double sigma2 : {0.3, 1.0, 4.0})
      for (double r : {-3.0, -0.4, 0.0, 0.7, 5.0})
        for (double w : {0.5, 2.0}) {
          SCOPED_TRACE(::testing::Message()
                       << "nu=" << nu << " sigma2=" << sigma2 << " r=" << r << " w=" << w);
          const double mu = y - r;
          // D over (μ, log σ², log(ν − 2)).
          auto dev = [&](double m, double a, double b) {
            return tdist_deviance(V{y}, V{m}, V{w}, 2.0 + std::exp(b), std::exp(a));
          };
          const double a0 = std::log(sigma2), b0 = std::log(nu - 2.0);
          const TDistObsDerivs d = tdist_obs_derivs(tdist_identity(nu, sigma2), V{y}, V{mu}, V{w});
          ASSERT_EQ(d.dev_eta3.size(), 1u);
          ASSERT_EQ(d.dev_shape.rows(), 1u);
          ASSERT_EQ(d.dev_shape.cols(), 2u);

          const double h = 1e-4, h3 = 2e-3;
          const double fd3 = third_difference([&](double m) { return dev(m, a0, b0); }, mu, h3);
          EXPECT_NEAR(d.dev_eta3[0], fd3, 1e-4 * (1 + std::fabs(fd3)));
          for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE(k == 0 ? "log sigma2" : "log(nu - 2)");
            // D as a function of μ and the k-th coordinate t.
            auto f = [&](double m, double t) { return k == 0 ? dev(m, t, b0) : dev(m, a0, t); };
            const double t0 = k == 0 ? a0 : b0;
            auto d_t = [&](double m, double step) {
              return central_difference([&](double t) { return f(m, t); }, t0, step);
            };
            const double fd1 = d_t(mu, h);
            const double fd2 = central_difference([&](double m) { return d_t(m, h); }, mu, h);
            const double fd3m = second_difference([&](double m) { return d_t(m, h3); }, mu, h3);
            EXPECT_NEAR(d.dev_shape(0, k), fd1, 1e-7 * (1 + std::fabs(fd1)));
            EXPECT_NEAR(d.dev_shape_eta(0, k), fd2, 1e-6 * (1 + std::fabs(fd2)));
            EXPECT_NEAR(d.dev_shape_eta2(0, k), fd3m, 1e-4 * (1 + std::fabs(fd3m)));
          }
        }
}

TEST(TDist, UnitWeightsWhenAbsent) {
  const V y{0.0, 1.0, -2.0}, mu{0.5, 1.0, 1.0};
  const TDist fam = tdist_identity(4.0, 1.5);
  const TDistObsDerivs a = tdist_obs_derivs(fam, y, mu, {});
  const TDistObsDerivs b = tdist_obs_derivs(fam, y, mu, V(3, 1.0));
  EXPECT_EQ(a.dev_eta3, b.dev_eta3);
  EXPECT_EQ(a.dev_shape.storage(), b.dev_shape.storage());
  EXPECT_EQ(a.dev_shape_eta.storage(), b.dev_shape_eta.storage());
  EXPECT_EQ(a.dev_shape_eta2.storage(), b.dev_shape_eta2.storage());
}

}  // namespace
}  // namespace quelt

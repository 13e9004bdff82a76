// Robust scales of the quantile fit.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "fit/quantile_constants.hpp"

namespace quelt {
namespace {

// Integer weights equal repeated rows, and a weight of 0 an absent row, for
// every order statistic and robust scale.
TEST(QuantileConstants, WeightsEqualRepeatedRows) {
  std::mt19937_64 g(5);
  std::normal_distribution<double> z(0.0, 1.0);
  std::uniform_int_distribution<int> k(0, 3);
  Vector v(301), w(301), rep;
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i] = std::exp(z(g));  // skewed, so that location and spread differ
    w[i] = k(g);
    for (int r = 0; r < static_cast<int>(w[i]); ++r) rep.push_back(v[i]);
  }
  const double total = static_cast<double>(rep.size());
  const std::optional<Vector> a = w;
  for (double tau : {0.01, 0.3, 0.5, 0.99})
    EXPECT_EQ(weighted_order_statistic(v, a, tau, total),
              weighted_order_statistic(rep, std::nullopt, tau, total))
        << tau;
  EXPECT_EQ(robust_residual_variance(v, a, total, 0.0),
            robust_residual_variance(rep, std::nullopt, total, 0.0));
  EXPECT_EQ(response_unit(v, a, total), response_unit(rep, std::nullopt, total));
}

// The robust variance is the variance for normal draws, and 1% of wild values
// leave it (and the unit) where it was while the mean square is lost; when
// more than half of the values are equal it falls back to the mean square.
TEST(QuantileConstants, RobustVarianceIgnoresWildValues) {
  std::mt19937_64 g(7);
  std::normal_distribution<double> z(0.0, 2.0);
  Vector e(20000);
  for (double& v : e) v = z(g);
  const double n = static_cast<double>(e.size());
  const double clean = robust_residual_variance(e, std::nullopt, n, 0.0);
  EXPECT_NEAR(clean, 4.0, 0.2);
  EXPECT_NEAR(response_unit(e, std::nullopt, n), 2.0, 0.05);
  Vector wild = e;
  for (std::size_t i = 0; i < wild.size(); i += 100) wild[i] = 1e12;
  EXPECT_NEAR(robust_residual_variance(wild, std::nullopt, n, 0.0), clean, 0.05 * clean);
  EXPECT_NEAR(response_unit(wild, std::nullopt, n), 2.0, 0.1);
  // the clipped response keeps the bulk and pulls the wild values in
  const Vector c = clipped_response(wild, std::nullopt, n);
  EXPECT_EQ(c[1], wild[1]);
  EXPECT_LT(c[0], 25.0);

  const Vector ties{0.0, 0.0, 0.0, 3.0, -4.0};
  EXPECT_DOUBLE_EQ(robust_residual_variance(ties, std::nullopt, 5.0, 0.0), 5.0);
  EXPECT_EQ(robust_residual_variance(Vector(4, 0.0), std::nullopt, 4.0, 1e-6), 1e-6);
}

}  // namespace
}  // namespace quelt

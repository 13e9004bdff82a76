#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "derivative_check.hpp"
#include "family/families.hpp"
#include "family/ocat.hpp"

namespace quelt {
namespace {

using V = std::vector<double>;
using testing::DiffScale;
using testing::DiffTolerance;
using testing::expect_derivative_matches;
constexpr double kInf = std::numeric_limits<double>::infinity();

Ocat make(V thresholds) {
  const std::size_t r = thresholds.size() + 2;
  return ocat_new(std::move(thresholds), r).value();
}

// Argument mistakes are errors with their message, never broken contracts;
// the all-zero start follows the same rules. Cut points accumulate the gaps.
TEST(Ocat, NewChecksItsArgumentsAndCutsAccumulateGaps) {
  const std::string few = "Ocat requires R ≥ 3, got ";
  const std::string len = "Ocat thresholds length must equal n_cats - 2";
  const std::pair<Result<Ocat>, std::string> cases[] = {
      {ocat_new({}, 2), few + "2"}, {ocat_new({0.5}, 1), few + "1"}, {ocat_identity(0), few + "0"},
      {ocat_new({}, 3), len},       {ocat_new({0.1, 0.2}, 3), len},  {ocat_new({0.1}, 4), len},
  };
  for (const auto& [o, message] : cases) {
    ASSERT_FALSE(o.ok()) << message;
    EXPECT_EQ(o.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(o.error().message, message);
  }
  EXPECT_EQ(ocat_identity(5).value().thresholds, V(3, 0.0));
  EXPECT_EQ(ocat_cut_points(make({0.0})), V({-kInf, -1.0, 0.0, kInf}));
  const V c = ocat_cut_points(make({std::log(2.0), std::log(3.0)}));
  EXPECT_NEAR(c[2], 1.0, 1e-15);
  EXPECT_NEAR(c[3], 4.0, 1e-15);
}

// exp(−D/2) of one observation is the probability of its category: over the
// categories they sum to 1 at any η, the rounding and clamping of y pick the
// category, and a vanishing probability is floored.
TEST(Ocat, CellProbabilities) {
  const Ocat o = make({0.3, -0.5, 0.8});
  auto prob = [&](double y, double eta) {
    return std::exp(-0.5 * ocat_log_likelihood(V{y}, o, V{eta}, {}));
  };
  for (double eta : {-40.0, -3.0, -1.0, 0.0, 0.5, 4.0, 40.0}) {
    double total = 0.0;
    for (int k = 1; k <= 5; ++k) total += prob(k, eta);
    EXPECT_NEAR(total, 1.0, 1e-14) << eta;
  }
  const double eta = 0.4;
  EXPECT_EQ(prob(2.5, eta), prob(3.0, eta));  // half away from zero
  EXPECT_EQ(prob(0.2, eta), prob(1.0, eta));
  EXPECT_EQ(prob(-7.0, eta), prob(1.0, eta));
  EXPECT_EQ(prob(10.0, eta), prob(5.0, eta));
  EXPECT_EQ(prob(std::numeric_limits<double>::quiet_NaN(), eta), prob(1.0, eta));
  EXPECT_NEAR(prob(1.0, 0.0), 1.0 / (1.0 + std::exp(1.0)), 1e-15);
  EXPECT_EQ(ocat_log_likelihood(V{1.0}, o, V{1000.0}, V{1.5}),
            -3.0 * std::log(2.2250738585072014e-308));
  EXPECT_EQ(ocat_log_likelihood(V{}, o, V{}, V{}), 0.0);
}

// Every derivative array against differences of the one below it, down to
// the criterion D_i(η, θ) = −2·w_i·ln P_i: ∂D/∂θ_j from D, ∂²D/∂θ_j∂η from
// ∂D/∂θ_j, ∂³D/∂θ_j∂η² from ∂²D/∂θ_j∂η, and ∂³D/∂η³ from second differences
// of D, and the unweighted first and second η-derivatives; over all categories (the lowest and top
// ones included) and predictors inside and outside the cut points.
TEST(Ocat, ObsDerivsMatchDifferencesOfTheCriterion) {
  const V theta{0.3, -0.5, 0.8};
  const V y{1, 2, 3, 4, 5, 1, 3, 5, 2, 4};
  const V eta{-3.0, -0.7, 0.0, 0.9, 2.5, 1.5, 6.0, -2.0, 0.4, 1.1};
  const V w{1.0, 0.5, 2.0, 1.5, 1.0, 2.5, 1.0, 0.7, 1.2, 3.0};
  const OcatObsDerivs all = ocat_obs_probs(make(theta), y, eta, w);
  ASSERT_EQ(all.dev_eta3.size(), y.size());
  ASSERT_EQ(all.dev_theta.cols(), theta.size());
  const DiffTolerance first{1e-7, 1e-9, DiffScale::EntryDifference, 1e-5};
  const DiffTolerance third{1e-4, 1e-5, DiffScale::EntryDifference, 1e-3};
  for (std::size_t i = 0; i < y.size(); ++i) {
    const std::string at = "y=" + std::to_string(y[i]) + " eta=" + std::to_string(eta[i]);
    auto derivs = [&](double e, const V& th) {
      return ocat_obs_probs(make(th), V{y[i]}, V{e}, V{w[i]});
    };
    auto crit = [&](double e, const V& th) {
      return ocat_log_likelihood(V{y[i]}, make(th), V{e}, V{w[i]});
    };
    const double h2 = 1e-3;
    auto d2_eta = [&](double e) {
      return (crit(e + h2, theta) - 2 * crit(e, theta) + crit(e - h2, theta)) / (h2 * h2);
    };
    expect_derivative_matches(
        d2_eta, [&](double e) { return derivs(e, theta).dev_eta3[0]; }, eta[i], third,
        "dev_eta3 " + at);
    // The unweighted η-derivatives of the full-Newton fit.
    auto eta_derivs = [&](double e) {
      V d1(1), d2(1);
      ocat_eta_derivatives(make(theta), V{y[i]}, V{e}, d1, d2);
      return std::pair<double, double>(d1[0], d2[0]);
    };
    expect_derivative_matches([&](double e) { return crit(e, theta) / w[i]; },
                              [&](double e) { return eta_derivs(e).first; }, eta[i], first,
                              "d1 " + at);
    expect_derivative_matches([&](double e) { return eta_derivs(e).first; },
                              [&](double e) { return eta_derivs(e).second; }, eta[i], first,
                              "d2 " + at);
    for (std::size_t j = 0; j < theta.size(); ++j) {
      const std::string label = " theta" + std::to_string(j) + " " + at;
      auto with = [&](double t) {
        V th = theta;
        th[j] = t;
        return th;
      };
      expect_derivative_matches([&](double t) { return crit(eta[i], with(t)); },
                                [&](double t) { return derivs(eta[i], with(t)).dev_theta(0, j); },
                                theta[j], first, "dev_theta" + label);
      expect_derivative_matches([&](double e) { return derivs(e, theta).dev_theta(0, j); },
                                [&](double e) { return derivs(e, theta).dev_theta_eta(0, j); },
                                eta[i], first, "dev_theta_eta" + label);
      expect_derivative_matches([&](double e) { return derivs(e, theta).dev_theta_eta(0, j); },
                                [&](double e) { return derivs(e, theta).dev_theta_eta2(0, j); },
                                eta[i], first, "dev_theta_eta2" + label);
      EXPECT_EQ(all.dev_theta_eta2(i, j), derivs(eta[i], theta).dev_theta_eta2(0, j)) << label;
    }
  }
}

}  // namespace
}  // namespace quelt

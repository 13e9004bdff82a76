// The outer start, box and convergence origin follow the units of y and of
// the prior weights; the moments they are built from.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "core/linalg.hpp"
#include "fit/gaussian_driver.hpp"
#include "fit/std_driver.hpp"
#include "inner/closed_form.hpp"
#include "inner/weighted_moments.hpp"
#include "inner_problems.hpp"
#include "outer/outer_frame.hpp"
#include "score/data_units.hpp"
#include "score/envelope.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::Problem;

// Positive responses around exp(0.3·signal) with multiplicative noise, and
// weights in [0.5, 1.5).
struct Data {
  Problem pr = bump_problem(600, 2, 8, 3);
  Vector y, w;
  Data() {
    const Vector f = testing::signal(pr, 0.3, 0.2);
    std::mt19937_64 g(4);
    std::normal_distribution<double> z(0.0, 0.3);
    std::uniform_real_distribution<double> u(0.5, 1.5);
    for (double v : f) y.push_back(std::round(10.0 * std::exp(v + z(g))) / 4.0 + 0.25);
    for (std::size_t i = 0; i < y.size(); ++i) w.push_back(u(g));
  }
};

template <class F>
FitContext<F> context(const Data& d, double cy, double cw) {
  Vector y = d.y, w = d.w;
  for (double& v : y) v *= cy;
  for (double& v : w) v *= cw;
  return make_fit_context<F>(d.pr.design, std::move(y), std::move(w), F{},
                             InnerOptions{50, 1e-12, 10});
}

// V − origin at rho + shift, and the start and box.
template <class F>
std::pair<double, OuterFrame> measured(const Data& d, double cy, double cw, double shift) {
  const auto ctx = context<F>(d, cy, cw);
  const OuterFrame f = outer_frame(ctx);
  auto s = envelope_score_at_rho(ctx, Vector{1.0 + shift, 2.0 + shift});
  EXPECT_TRUE(s.ok());
  return {s.value().first - f.score_origin, f};
}

// Under y → c·y (or w → c·w) the optimal ρ moves by a·ln c, the score by a
// constant: V − origin at corresponding points, the start less the shift and
// the box around it are the same numbers.
template <class F>
void check_units(const char* name, double a, bool weights_too) {
  const Data d;
  const auto [v1, f1] = measured<F>(d, 1.0, 1.0, 0.0);
  struct Case {
    double cy, cw, shift;
  };
  std::vector<Case> cases;
  for (double c : {1e-6, 1e-2, 1e5}) {
    cases.push_back({c, 1.0, a * std::log(c)});
    if (weights_too) cases.push_back({1.0, c, std::log(c)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(name) + " y×" + std::to_string(c.cy) + " w×" + std::to_string(c.cw));
    const auto [v, f] = measured<F>(d, c.cy, c.cw, c.shift);
    EXPECT_NEAR(v, v1, 1e-9 * std::fabs(v1));
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(f.start[j] - c.shift, f1.start[j], 1e-9);
      EXPECT_NEAR(f.bounds[j].first - c.shift, f1.start[j] - 30.0, 1e-9);
      EXPECT_NEAR(f.bounds[j].second - c.shift, f1.start[j] + 30.0, 1e-9);
    }
  }
}

TEST(DataUnits, ScoreOriginStartAndBoxFollowTheUnits) {
  // The prior weights of every estimated-scale family are precisions, so
  // their units move λ and φ alike and leave V − origin.
  check_units<Gaussian>("gaussian", 0.0, true);
  check_units<QuasiPoisson>("quasipoisson", 1.0, true);
  check_units<GammaLog>("gamma", 0.0, true);
  check_units<GammaInverse>("Gamma", 2.0, true);
  check_units<InverseGaussian>("inverse_gaussian", -1.0, true);
}

TEST(DataUnits, StartLeavesTheEdgeOfTheMeanRange) {
  // All counts zero: the Fisher weight at the mean is a floor's; the start
  // stays at 0 instead of near ln 1e-300.
  const Data d;
  const auto ctx =
      make_fit_context<Poisson>(d.pr.design, Vector(600, 0.0), std::nullopt, Poisson{});
  EXPECT_EQ(outer_frame(ctx).start, Vector(2, 0.0));
}

TEST(WeightedMoments, ZeroWeightsHugeValuesAndConstants) {
  struct Case {
    std::string name;
    Vector y;
    std::optional<Vector> w;
    std::size_t n_obs;
    double mean_weight, mean, sd;
  };
  const double big = 1e300;
  const std::vector<Case> cases = {
      {"weighted", {1, 2, 4}, Vector{1, 2, 1}, 3, 4.0 / 3.0, 2.25, std::sqrt(1.1875)},
      {"zero weights are not rows", {1, 99, 3}, Vector{2, 0, 2}, 2, 2.0, 2.0, 1.0},
      {"no overflow", {big, -big, big, -big}, Vector(4, 1e-300), 4, 1e-300, 0.0, big},
      // the mean of equal values may differ from them in the last bit
      {"constant", {0.1, 0.1, 0.1}, std::nullopt, 3, 1.0, 0.1, 0.0},
      {"no positive weight", {1, 2}, Vector{0, 0}, 0, 0.0, 0.0, 0.0},
      // 1/|y|max overflows: the sums still hold (2^-1040·{1, 3, 2})
      {"subnormal",
       {0x1p-1040, 0x1.8p-1039, 0x1p-1039},
       std::nullopt,
       3,
       1.0,
       0x1p-1039,
       std::sqrt(2.0 / 3.0) * 0x1p-1040},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WeightedMoments m = weighted_moments(c.y, c.w);
    EXPECT_EQ(m.n_obs, c.n_obs);
    EXPECT_NEAR(m.mean_weight, c.mean_weight, 1e-15 * c.mean_weight);
    EXPECT_NEAR(m.mean, c.mean, 1e-15 * std::fabs(c.mean) + 1e-300);
    if (c.sd == 0.0)
      EXPECT_EQ(m.sd, 0.0);
    else
      EXPECT_NEAR(m.sd, c.sd, 1e-14 * c.sd);
  }
}

TEST(DataUnits, GaussianRecordIsInTheUsersUnits) {
  // The fit runs on the standardized response and normalised weights; the
  // record must be what the same formulas give on the user's data at the
  // returned ρ: the score, the coefficients and the scale.
  const Data d;
  Vector y = d.y, w = d.w;
  for (double& v : y) v = 40.0 + 300.0 * v;
  for (double& v : w) v *= 7.0;
  auto r = fit_gaussian(d.pr.design, y, w);
  ASSERT_TRUE(r.ok()) << r.error().display();
  const FittedGam& g = r.value();
  ASSERT_TRUE(g.converged);
  const auto ctx =
      make_fit_context<Gaussian>(d.pr.design, y, w, Gaussian{}, InnerOptions{50, 1e-12, 10});
  auto score = envelope_score_at_rho(ctx, g.rho);
  ASSERT_TRUE(score.ok());
  EXPECT_NEAR(g.reml_value, score.value().first, 1e-9 * std::fabs(score.value().first));
  auto fit = solve_closed_form_gaussian(ctx, g.rho);
  ASSERT_TRUE(fit.ok());
  double dp = fit.value().weighted_rss, bmax = 0.0;
  for (std::size_t j = 0; j < ctx.m(); ++j)
    dp += std::exp(g.rho[j]) * quadratic_form(ctx.penalties[j], fit.value().beta);
  for (double b : g.beta) bmax = std::fmax(bmax, std::fabs(b));
  for (std::size_t k = 0; k < g.beta.size(); ++k)
    EXPECT_NEAR(g.beta[k], fit.value().beta[k], 1e-9 * bmax) << k;
  EXPECT_NEAR(g.scale, dp / (600.0 - 3.0), 1e-9 * g.scale);
}

// The Gamma and inverse Gaussian fits run on y/ȳ and w/w̄; their record must
// be that of the user's data at the returned ρ: the score and the
// coefficients of the fit there.
template <class F>
void expect_record_in_the_users_units(const char* name, double cy) {
  SCOPED_TRACE(name);
  const Data d;
  Vector y = d.y, w = d.w;
  for (double& v : y) v *= cy;
  for (double& v : w) v *= 7.0;
  auto r = fit_std_family<F>(d.pr.design, y, w);
  ASSERT_TRUE(r.ok()) << r.error().display();
  const FittedGam& g = r.value();
  ASSERT_TRUE(g.converged);
  const auto ctx = make_fit_context<F>(d.pr.design, y, w, F{}, InnerOptions{50, 1e-12, 10});
  auto fit = fit_at_rho(ctx, g.rho);
  ASSERT_TRUE(fit.ok());
  auto score = envelope_score(ctx, g.rho, fit.value());
  ASSERT_TRUE(score.ok());
  EXPECT_NEAR(g.reml_value, score.value().score, 1e-8 * std::fabs(score.value().score));
  double bmax = 0.0;
  for (double b : g.beta) bmax = std::fmax(bmax, std::fabs(b));
  for (std::size_t k = 0; k < g.beta.size(); ++k)
    EXPECT_NEAR(g.beta[k], fit.value().beta[k], 1e-7 * bmax) << k;
}

TEST(DataUnits, GammaAndInverseGaussianRecordsAreInTheUsersUnits) {
  for (double cy : {1.0, 3e-4, 5e6}) {
    expect_record_in_the_users_units<GammaLog>("gamma", cy);
    expect_record_in_the_users_units<GammaInverse>("Gamma", cy);
    expect_record_in_the_users_units<InverseGaussian>("inverse_gaussian", cy);
  }
}

}  // namespace
}  // namespace quelt

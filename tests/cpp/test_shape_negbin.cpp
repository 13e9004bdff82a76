// The negative binomial score: its ρ-gradient against refitted differences,
// the frozen-fit score against the score of the fit, and the screen's
// prediction of a trial's refitted score.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "derivative_check.hpp"
#include "family/families.hpp"
#include "inner_problems.hpp"
#include "outer/no_refresh_screen.hpp"
#include "score/negbin_eval.hpp"
#include "score/shape_negbin.hpp"
#include "score/shape_score.hpp"

namespace quelt {
namespace {

using testing::DiffScale;
using testing::Problem;

// Two smooth covariates, counts with size 3 and log-mean 1 + signal, prior
// weights 0.5, 1.5, 2.5 in turn.
struct NbData {
  Problem pr;
  Vector y, w;
};

NbData nb_data(std::size_t n, unsigned seed) {
  NbData d{testing::bump_problem(n, 2, 5, seed), {}, Vector(n)};
  Vector mu = testing::signal(d.pr, 0.8, 1.0);
  for (double& v : mu) v = std::exp(v);
  Vector g = testing::gamma_draws(mu, 3.0, seed + 1);
  for (double& v : g) v = std::log(v);
  d.y = testing::poisson_draws(g, seed + 2);
  for (std::size_t i = 0; i < n; ++i) d.w[i] = 0.5 + static_cast<double>(i % 3);
  return d;
}

Vector joint(const Vector& rho, double log_theta) {
  Vector t = rho;
  t.push_back(log_theta);
  return t;
}

// The analytic ρ-gradient (H at the observed weights, their change with η
// included) against central differences of the refitted score, at a tight
// inner tolerance: |Δ| ≤ 1e-4·(1 + |g|).
TEST(ShapeNegBin, RhoGradientMatchesRefittedScoreDifferences) {
  const NbData d = nb_data(400, 51);
  auto ctx = make_fit_context(d.pr.design, d.y, std::optional<Vector>(d.w), negbin_log(2.0),
                              InnerOptions{200, 1e-13, 10});
  for (const double lt : {std::log(0.7), std::log(3.0), std::log(40.0)})
    for (const Vector& rho : {Vector{-1.0, 1.0}, Vector{1.5, 3.0}, Vector{4.0, -0.5}}) {
      auto value = [&](const Vector& r) { return score_at(ctx, joint(r, lt)).value(); };
      auto gradient = [&](const Vector& r) {
        return negbin_eval_score_grad_hess(ctx, joint(r, lt)).value().grad;
      };
      testing::expect_gradient_matches(value, gradient, rho,
                                       {1e-4, 1e-4, DiffScale::EntryDifference, 1e-4}, "negbin");
    }
}

// On the fit made at θ, the frozen-fit score at θ is the fit's score: the
// same weighted deviance, saturated log-likelihood and H.
TEST(ShapeNegBin, FrozenScoreAtTheFitsThetaIsItsScore) {
  const NbData d = nb_data(300, 61);
  auto ctx = make_fit_context(d.pr.design, d.y, std::optional<Vector>(d.w), negbin_log(2.0),
                              InnerOptions{50, 1e-6, 10});
  for (const Vector& theta : {Vector{0.5, 2.0, std::log(3.0)}, Vector{3.0, -1.0, -2.0}}) {
    const NegBinEval e = negbin_eval_score_grad_hess(ctx, theta).value();
    EXPECT_NEAR(negbin_score_at_theta(ctx, e.fit, theta), e.score, 1e-12 * std::fabs(e.score));
  }
}

// The screen's prediction from the cache of a full evaluation at θ: close to
// the refitted score of a trial (far closer than the trial's change of
// score), absent at another log θ, and the same for weights of 2 as for the
// rows twice.
TEST(ShapeNegBin, ScreenPredictsTheRefittedScore) {
  const NbData d = nb_data(300, 71);
  const InnerOptions opts{50, 1e-10, 10};
  auto ctx = make_fit_context(d.pr.design, d.y, std::optional<Vector>(d.w), negbin_log(2.0), opts);
  const Vector theta{1.0, 2.5, std::log(3.0)};
  const double f = negbin_eval_score_grad_hess(ctx, theta).value().score;
  for (const Vector& step :
       {Vector{0.0, 0.0}, Vector{0.3, 0.0}, Vector{-0.5, 0.4}, Vector{1.0, -1.0}}) {
    Vector u = theta;
    u[0] += step[0];
    u[1] += step[1];
    const std::optional<double> s = no_refresh_trial_score(ctx, u);
    ASSERT_TRUE(s.has_value());
    const double v = score_at(ctx, u).value();
    EXPECT_NEAR(*s, v, 1e-6 * std::fabs(v) + 0.05 * std::fabs(v - f)) << step[0] << " " << step[1];
  }
  Vector other = theta;
  other[2] += 0.1;
  EXPECT_FALSE(no_refresh_trial_score(ctx, other).has_value());

  // Weights of 2 and 1 against the rows of weight 2 repeated.
  const std::size_t n = d.y.size(), p = d.pr.design.x.cols();
  Vector w(n), ydup;
  ModelDesign dup = d.pr.design;
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = i % 2 == 0 ? 2.0 : 1.0;
    for (int c = 0; c < (i % 2 == 0 ? 2 : 1); ++c) rows.push_back(i);
  }
  dup.x = Matrix(rows.size(), p);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t k = 0; k < p; ++k) dup.x(r, k) = d.pr.design.x(rows[r], k);
    ydup.push_back(d.y[rows[r]]);
  }
  auto weighted =
      make_fit_context(d.pr.design, d.y, std::optional<Vector>(w), negbin_log(2.0), opts);
  auto repeated = make_fit_context(dup, ydup, std::nullopt, negbin_log(2.0), opts);
  const NegBinEval a = negbin_eval_score_grad_hess(weighted, theta).value();
  const NegBinEval b = negbin_eval_score_grad_hess(repeated, theta).value();
  EXPECT_NEAR(a.score, b.score, 1e-9 * std::fabs(b.score));
  for (std::size_t j = 0; j < 2; ++j) {
    EXPECT_NEAR(a.grad[j], b.grad[j], 1e-7 * (1.0 + std::fabs(b.grad[j])));
    for (std::size_t k = 0; k < 2; ++k)
      EXPECT_NEAR(a.hessian(j, k), b.hessian(j, k), 1e-7 * (1.0 + std::fabs(b.hessian(j, k))));
  }
  const Vector u{1.6, 2.0, theta[2]};
  const double sa = no_refresh_trial_score(weighted, u).value();
  EXPECT_NEAR(sa, no_refresh_trial_score(repeated, u).value(), 1e-9 * std::fabs(sa));
  const Vector far{1.0, 2.5, 0.3};
  EXPECT_NEAR(negbin_score_at_theta(weighted, a.fit, far),
              negbin_score_at_theta(repeated, b.fit, far), 1e-9 * std::fabs(sa));
}

}  // namespace
}  // namespace quelt

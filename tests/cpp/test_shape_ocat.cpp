// The ordered-categorical family in the shape-aware score: its full-Newton
// inner fit, the gradient over ρ and the log gaps, and the evaluation.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "derivative_check.hpp"
#include "family/families.hpp"
#include "family/ocat.hpp"
#include "fit/shape_driver.hpp"
#include "inner/full_newton.hpp"
#include "inner_problems.hpp"
#include "score/shape_eval.hpp"
#include "score/shape_ocat.hpp"
#include "score/shape_score.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::DiffScale;
using testing::Problem;

// Labels 1..R of a latent signal + logistic noise cut at −1, −1 + e^θ₁, ….
Vector ordinal_responses(const Problem& pr, const Vector& gaps, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  const Vector f = testing::signal(pr, 1.5, 0.3);
  Vector y(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) {
    const double u = unif(rng);
    const double latent = f[i] + std::log(u / (1.0 - u));
    double cut = -1.0;
    std::size_t k = 1;
    while (latent > cut) {
      ++k;
      if (k > gaps.size() + 1) break;
      cut += std::exp(gaps[k - 2]);
    }
    y[i] = static_cast<double>(k);
  }
  return y;
}

Ocat ocat_of(const Vector& gaps) { return ocat_new(gaps, gaps.size() + 2).value(); }

FitContext<Ocat> ocat_context(const Problem& pr, Vector y, std::size_t r,
                              std::optional<Vector> w = {}, double tol = 1e-12) {
  return make_fit_context(pr.design, std::move(y), std::move(w), ocat_identity(r).value(),
                          InnerOptions{200, tol, 10});
}

Vector unequal_weights(std::size_t n) {
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 + static_cast<double>(i % 4);
  return w;
}

// At the returned β the fit's own objective is stationary:
// ½Xᵀ∂D/∂η + S_λβ + ε·s·β = 0, ∂D_i/∂η_i taken by differences of the
// criterion and s = max(1, max_j (XᵀWX)_jj) at the record's W. The ridge
// term is the whole of the remaining gradient: without it the gradient is
// not zero (at these λ, several times the tolerance).
TEST(FullNewton, ReachesTheStationaryPointOfItsRidgedObjective) {
  const Problem pr = bump_problem(400, 2, 6, 21);
  const Vector gaps{0.2, -0.3};
  const Vector y = ordinal_responses(pr, gaps, 4);
  const Matrix& x = pr.design.x;
  const std::size_t n = x.rows(), p = x.cols();
  for (const bool weighted : {false, true}) {
    const Vector w = weighted ? unequal_weights(n) : Vector(n, 1.0);
    auto ctx = ocat_context(pr, y, 4, weighted ? std::optional<Vector>(w) : std::nullopt);
    for (const Vector& rho : {Vector{-2.0, 0.0}, Vector{1.0, 4.0}}) {
      const Ocat fam = ocat_of(gaps);
      const InnerFit fit = full_newton_fit(ctx, fam, rho).value();
      EXPECT_TRUE(fit.converged);
      double s = 1.0;
      for (std::size_t j = 0; j < p; ++j) s = std::fmax(s, (*fit.xtwx)(j, j));
      const double eps = (std::sqrt(2.0) + 1.0) * 1e-5;
      Vector g(p, 0.0), ridge(p, 0.0);
      double scale = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double h = 1e-6;
        auto crit = [&](double e) { return ocat_log_likelihood(Vector{y[i]}, fam, Vector{e}, {}); };
        const double d1 = w[i] * (crit(fit.eta[i] + h) - crit(fit.eta[i] - h)) / (2.0 * h);
        for (std::size_t a = 0; a < p; ++a) g[a] += 0.5 * d1 * x(i, a);
        scale += std::fabs(d1);
      }
      for (std::size_t k = 0; k < rho.size(); ++k)
        for (std::size_t a = 0; a < p; ++a)
          for (std::size_t b = 0; b < p; ++b)
            g[a] += std::exp(rho[k]) * pr.design.penalties[k](a, b) * fit.beta[b];
      double without = 0.0;
      for (std::size_t a = 0; a < p; ++a) {
        without = std::fmax(without, std::fabs(g[a]));
        EXPECT_NEAR(g[a] + eps * s * fit.beta[a], 0.0, 1e-7 * scale) << a;
      }
      EXPECT_GT(without, 1e-6 * scale);
    }
  }
  // No iteration: β = 0 and η at the middle of each cell (R = 3, θ = 0:
  // cut points −∞, −1, 0, +∞; the open ends at −2 and 0 + 1).
  const Problem small = bump_problem(30, 1, 4, 5);
  auto ctx0 = make_fit_context(small.design, Vector(30, 2.0), std::nullopt,
                               ocat_identity(3).value(), InnerOptions{0, 1e-8, 10});
  for (std::size_t i = 0; i < 30; ++i) ctx0.y[i] = static_cast<double>(1 + i % 3);
  const InnerFit none = full_newton_fit(ctx0, ctx0.family, Vector{0.0}).value();
  EXPECT_FALSE(none.converged);
  EXPECT_EQ(none.iterations, 0u);
  EXPECT_EQ(none.beta, Vector(small.design.x.cols(), 0.0));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(none.eta[i], -1.5 + static_cast<double>(i));
}

// The gradient of the score over ρ and the log gaps against central
// differences of the refitted score. The ρ entries hold the fit at its
// ridged stationary point, off the unridged one by the ridge: within 5e-3
// (a weight-derivative term with its sign flipped is off by several times
// that). The log-gap entries within 1e-3 of the largest entry.
TEST(ShapeOcat, GradientMatchesDifferencesOfTheScore) {
  const Problem pr = bump_problem(500, 2, 6, 23);
  const Vector y = ordinal_responses(pr, Vector{0.4, -0.2, 0.1}, 6);
  for (const bool weighted : {false, true}) {
    auto ctx = ocat_context(
        pr, y, 5, weighted ? std::optional<Vector>(unequal_weights(y.size())) : std::nullopt);
    auto value = [&](const Vector& t) { return score_at(ctx, t).value(); };
    auto gradient = [&](const Vector& t) { return laml_gradient(ctx, t).value().second; };
    for (const Vector& theta : {Vector{0.5, 1.0, 0.4, -0.2, 0.1}, Vector{3.0, -1.0, 0.0, 0.5, -0.5},
                                Vector{-2.0, 5.0, 1.0, 0.0, 0.3}}) {
      const char* label = weighted ? "weighted" : "unweighted";
      const Vector g = gradient(theta);
      double largest = 0.0;
      for (double v : g) largest = std::fmax(largest, std::fabs(v));
      for (std::size_t j = 0; j < theta.size(); ++j) {
        Vector up = theta, down = theta;
        up[j] += 1e-4;
        down[j] -= 1e-4;
        const double fd = (value(up) - value(down)) / 2e-4;
        EXPECT_NEAR(g[j], fd, j < 2 ? 1e-3 : 1e-3 * largest) << label << " j=" << j;
      }
    }
  }
}

// The evaluation: its score and gradient are those of its refit (the
// log-gap entries by differences of the score), its Hessian within 5% of the
// largest entry of differences of the refitted gradient (the ρ–ρ block holds
// the weights fixed), and it refits 1 + 4s times for s log gaps.
TEST(ShapeOcat, EvaluationAgreesWithItsRefitsAndCountsThem) {
  const Problem pr = bump_problem(400, 2, 5, 29);
  const Vector y = ordinal_responses(pr, Vector{0.3, 0.0}, 8);
  auto ctx = ocat_context(pr, y, 4);
  const Vector theta{1.0, 2.0, 0.3, 0.0};
  const auto lg = laml_gradient(ctx, theta).value();
  const FitStats before = ctx.fit_stats;
  const ShapeEval ev = shape_aware_eval(ctx, theta).value();
  EXPECT_EQ(ctx.fit_stats.inner_pirls_calls - before.inner_pirls_calls, 9u);
  EXPECT_EQ(ev.score, lg.first);
  EXPECT_EQ(ev.grad[0], lg.second[0]);
  EXPECT_EQ(ev.grad[1], lg.second[1]);
  for (std::size_t i = 2; i < 4; ++i) EXPECT_NEAR(ev.grad[i], lg.second[i], 1e-4);
  auto gradient = [&](const Vector& t) { return laml_gradient(ctx, t).value().second; };
  auto hessian = [&](const Vector& t) { return shape_aware_eval(ctx, t).value().hessian; };
  testing::expect_hessian_matches(gradient, hessian, theta,
                                  {0.05, 0.0, DiffScale::LargestDifference, 1e-4}, "ocat");
}

// Argument mistakes that reach the driver from C++ are InvalidParameter
// errors, never broken contracts: too few categories, then the labels row by
// row, then the count of starting log gaps (reported only once every label
// has passed).
TEST(ShapeOcat, DriverChecksItsArgumentsInOrder) {
  const Problem pr = bump_problem(12, 1, 4, 3);
  Vector good(12);
  for (std::size_t i = 0; i < 12; ++i) good[i] = static_cast<double>(1 + i % 3);
  auto with = [&](std::size_t i, double v) {
    Vector y = good;
    y[i] = v;
    return y;
  };
  const std::string range = "Ocat requires y to be an integer in 1..=3; got y=";
  const std::string count =
      "Ocat init_theta length must equal n_cats - 2 = 1 (log-gap thresholds between adjacent "
      "categories above the first); got ";
  struct Case {
    Ocat family;
    Vector y;
    std::string message;
  };
  const Case cases[] = {
      {Ocat{{}, 2}, good,
       "Ocat requires n_cats ≥ 3 (≤ 2 levels collapses to Bernoulli — use bernoulli_logit "
       "instead); got n_cats=2"},
      {Ocat{{0.0, 0.0}, 3}, with(0, 0.0), range + "0 at row 0"},
      {Ocat{{0.0, 0.0}, 3}, with(0, 2.4), count + "2"},
      {Ocat{{}, 3}, good, count + "0"},
  };
  for (const Case& c : cases) {
    auto r = fit_shape_family(pr.design, c.y, std::nullopt, c.family);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(r.error().message, c.message);
  }
}

}  // namespace
}  // namespace quelt

// The scaled-t family in the shape-aware score: its inner fit, gradient and
// Hessian.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "derivative_check.hpp"
#include "family/families.hpp"
#include "inner/pirls_shape.hpp"
#include "inner_problems.hpp"
#include "score/shape_eval.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tdist.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::DiffScale;
using testing::Problem;

// signal + scale·t₄ noise with every 20th response moved by +20·scale.
Vector t_responses(const Problem& pr, double scale, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::student_t_distribution<double> td(4.0);
  Vector y = testing::signal(pr, 1.0, 0.5);
  for (std::size_t i = 0; i < y.size(); ++i) {
    y[i] += scale * td(rng);
    if (i % 20 == 7) y[i] += 20.0 * scale;
  }
  return y;
}

FitContext<TDist> tdist_context(const Problem& pr, Vector y, std::optional<Vector> w = {}) {
  return make_fit_context(pr.design, std::move(y), std::move(w), tdist_identity(5.0, 1.0),
                          InnerOptions{200, 1e-12, 10});
}

// Damped Newton on P(β) = Σ_i w_i(ν+1)·ln(1 + r_i²/(νσ²)) + βᵀS_λβ from the
// least-squares solution, the Hessian's diagonal raised until it factors and
// each step halved until P falls: written without the library's fits.
Vector reference_minimiser(const Problem& pr, const Vector& y, const Vector& rho, double nu,
                           double sigma2) {
  const Matrix& x = pr.design.x;
  const std::size_t n = x.rows(), p = x.cols();
  Matrix s(p, p);
  for (std::size_t j = 0; j < pr.design.penalties.size(); ++j)
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b)
        s(a, b) += std::exp(rho[j]) * pr.design.penalties[j](a, b);
  const double sv = nu * sigma2;
  auto objective = [&](const Vector& beta) {
    double v = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      double e = y[i];
      for (std::size_t a = 0; a < p; ++a) e -= x(i, a) * beta[a];
      v += (nu + 1.0) * std::log1p(e * e / sv);
    }
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) v += beta[a] * s(a, b) * beta[b];
    return v;
  };
  Matrix a0 = s;
  Vector r0(p, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t a = 0; a < p; ++a) {
      r0[a] += x(i, a) * y[i];
      for (std::size_t b = 0; b < p; ++b) a0(a, b) += x(i, a) * x(i, b);
    }
  Vector beta = testing::dense_solve(a0, r0);
  for (int it = 0; it < 200; ++it) {
    Matrix h(p, p);
    Vector g(p, 0.0);
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) {
        h(a, b) = 2.0 * s(a, b);
        g[a] += 2.0 * s(a, b) * beta[b];
      }
    for (std::size_t i = 0; i < n; ++i) {
      double e = y[i];
      for (std::size_t a = 0; a < p; ++a) e -= x(i, a) * beta[a];
      const double q = sv + e * e;
      const double d1 = -2.0 * (nu + 1.0) * e / q;
      const double d2 = 2.0 * (nu + 1.0) * (sv - e * e) / (q * q);
      for (std::size_t a = 0; a < p; ++a) {
        g[a] += d1 * x(i, a);
        for (std::size_t b = 0; b < p; ++b) h(a, b) += d2 * x(i, a) * x(i, b);
      }
    }
    double gmax = 0.0;
    for (double v : g) gmax = std::fmax(gmax, std::fabs(v));
    if (gmax < 1e-11) break;
    double shift = 0.0;
    Vector step;
    for (;;) {  // raise the diagonal until the system is positive definite
      Matrix hs = h;
      for (std::size_t a = 0; a < p; ++a) hs(a, a) += shift;
      step = testing::dense_solve(hs, g);
      double dir = 0.0;
      for (std::size_t a = 0; a < p; ++a) dir += step[a] * g[a];
      if (dir > 0.0 && std::isfinite(dir)) break;
      shift = shift == 0.0 ? 1e-6 : shift * 10.0;
    }
    const double f0 = objective(beta);
    double t = 1.0;
    for (int k = 0; k < 60; ++k, t *= 0.5) {
      Vector trial = beta;
      for (std::size_t a = 0; a < p; ++a) trial[a] -= t * step[a];
      if (objective(trial) <= f0) {
        beta = trial;
        break;
      }
    }
  }
  return beta;
}

double max_abs_diff(const Vector& a, const Vector& b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::fmax(m, std::fabs(a[i] - b[i]));
  return m;
}

// The inner fit minimises the penalized t deviance: ν changes β on data with
// outliers, and β is the stationary point an independent Newton minimiser
// finds, also where σ² lies far above the residual scale and Fisher scoring
// alone stalls.
TEST(ShapeTDist, InnerFitIsTheMinimiserOfThePenalizedTDeviance) {
  const Problem pr = bump_problem(300, 2, 6, 11);
  const Vector y = t_responses(pr, 0.2, 5);
  const auto ctx = tdist_context(pr, y);
  const Vector rho{1.0, 0.0};
  struct Case {
    double nu, sigma2;
  };
  std::vector<Vector> betas;
  for (const Case c : {Case{3.0, 0.04}, Case{100.0, 0.04}, Case{2.5, 400.0}, Case{4.0, 0.01}}) {
    auto fit = pirls_shape(ctx, tdist_identity(c.nu, c.sigma2), rho);
    ASSERT_TRUE(fit.ok()) << c.nu;
    EXPECT_TRUE(fit.value().converged) << "nu=" << c.nu << " sigma2=" << c.sigma2;
    const Vector ref = reference_minimiser(pr, y, rho, c.nu, c.sigma2);
    EXPECT_LT(max_abs_diff(fit.value().beta, ref), 1e-6) << "nu=" << c.nu << " sigma2=" << c.sigma2;
    // The record carries the expected-information weights of the score.
    EXPECT_NEAR(fit.value().w[0], (c.nu + 1.0) / ((c.nu + 3.0) * c.sigma2), 1e-12 / c.sigma2);
    betas.push_back(fit.value().beta);
  }
  EXPECT_GT(max_abs_diff(betas[0], betas[1]), 0.05);
}

// The analytic gradient of the score over the whole of θ (ρ and both shape
// coordinates) against central differences of the refitted score, with and
// without prior weights.
TEST(ShapeTDist, GradientMatchesDifferencesOfTheScore) {
  const Problem pr = bump_problem(300, 2, 6, 13);
  const Vector y = t_responses(pr, 0.3, 7);
  Vector w(y.size());
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = 0.5 + static_cast<double>(i % 4);
  for (const bool weighted : {false, true}) {
    auto ctx = tdist_context(pr, y, weighted ? std::optional<Vector>(w) : std::nullopt);
    auto value = [&](const Vector& t) { return score_at(ctx, t).value(); };
    auto gradient = [&](const Vector& t) { return laml_gradient(ctx, t).value().second; };
    for (const Vector& theta :
         {Vector{0.5, -1.0, std::log(0.09), 0.7}, Vector{3.0, 2.0, std::log(0.5), -1.0},
          Vector{-2.0, 4.0, std::log(0.01), 2.5}})
      testing::expect_gradient_matches(value, gradient, theta, {0.0, 1e-5, DiffScale::None, 1e-4},
                                       weighted ? "weighted" : "unweighted");
  }
}

// The evaluation's Hessian (ρ–ρ block by the implicit function theorem at
// the expected-information weights, shape columns by differences) against
// central differences of the refitted gradient, within 2% of the largest
// entry (the block holds the weights at the expected information, which the
// t deviance's curvature only equals on average).
TEST(ShapeTDist, HessianMatchesDifferencesOfTheGradient) {
  const Problem pr = bump_problem(400, 2, 6, 17);
  const Vector y = t_responses(pr, 0.3, 9);
  auto ctx = tdist_context(pr, y);
  auto gradient = [&](const Vector& t) { return laml_gradient(ctx, t).value().second; };
  auto hessian = [&](const Vector& t) { return shape_aware_eval(ctx, t).value().hessian; };
  for (const Vector& theta :
       {Vector{0.5, -1.0, std::log(0.09), 0.7}, Vector{3.0, 1.0, std::log(0.2), 0.0}})
    testing::expect_hessian_matches(gradient, hessian, theta,
                                    {0.02, 0.0, DiffScale::LargestDifference, 1e-4}, "tdist");
}

// The evaluation's score and ρ-gradient are those of its own refit, its shape
// gradient the difference of the score, and every refit is counted.
TEST(ShapeTDist, EvaluationCountsEveryRefit) {
  const Problem pr = bump_problem(200, 1, 5, 19);
  const Vector y = t_responses(pr, 0.3, 3);
  auto ctx = tdist_context(pr, y);
  const Vector theta{1.0, std::log(0.1), 0.5};
  const auto lg = laml_gradient(ctx, theta).value();
  const FitStats before = ctx.fit_stats;
  const ShapeEval ev = shape_aware_eval(ctx, theta).value();
  // 1 refit + 2 per shape coordinate for the gradient + 2 per shape column.
  EXPECT_EQ(ctx.fit_stats.inner_pirls_calls - before.inner_pirls_calls, 9u);
  EXPECT_EQ(ev.score, lg.first);
  EXPECT_EQ(ev.grad[0], lg.second[0]);
  for (std::size_t i = 1; i < 3; ++i) EXPECT_NEAR(ev.grad[i], lg.second[i], 1e-5);
}

}  // namespace
}  // namespace quelt

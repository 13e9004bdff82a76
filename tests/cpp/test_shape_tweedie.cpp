// The Tweedie family in the shape-aware score: its gradients and the hold of
// p at the ends of its interval.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/linalg.hpp"
#include "derivative_check.hpp"
#include "family/families.hpp"
#include "fit/shape_driver.hpp"
#include "inner_problems.hpp"
#include "score/shape_eval.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tweedie.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::DiffScale;
using testing::Problem;

// Compound Poisson-gamma draws with mean exp(eta), power p and dispersion φ.
Vector tweedie_draws(const Vector& eta, double p, double phi, unsigned seed) {
  std::mt19937_64 rng(seed);
  Vector y(eta.size(), 0.0);
  const double shape = (2.0 - p) / (p - 1.0);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double mu = std::exp(eta[i]);
    const int count =
        std::poisson_distribution<int>(std::pow(mu, 2.0 - p) / (phi * (2.0 - p)))(rng);
    std::gamma_distribution<double> g(shape, phi * (p - 1.0) * std::pow(mu, p - 1.0));
    for (int k = 0; k < count; ++k) y[i] += g(rng);
  }
  return y;
}

FitContext<Tweedie> tweedie_context(const Problem& pr, Vector y, std::optional<Vector> w,
                                    bool estimate_p) {
  Tweedie f = tweedie_log(1.5, 1.0);
  f.estimate_p = estimate_p;
  return make_fit_context(pr.design, std::move(y), std::move(w), f, InnerOptions{200, 1e-13, 10});
}

// p_t of a power inside the interval.
double p_transform(double p) { return std::log((p - 1.0) / (2.0 - p)); }

// The score with the coefficients of the fit at θ held, as a function of the
// shape coordinates: the deviance and H = Xᵀdiag(w·μ^(2−p))X + S_λ
// re-evaluated at the held means, written out here.
struct FrozenScore {
  FitContext<Tweedie>& ctx;
  const ThetaRefit<Tweedie>& base;
  Vector rho;
  double operator()(const Vector& tail) const {
    const Tweedie f = ShapeTraits<Tweedie>::decode(ctx.family, tail);
    InnerFit fit = base.fit;
    const std::size_t n = ctx.y.size(), p = fit.p;
    Matrix h(p, p);
    double dev = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double wi = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
      const double mu = fit.mu[i], y = ctx.y[i];
      dev += wi * 2.0 *
             ((y > 0.0 ? std::pow(y, 2.0 - f.p) / ((1.0 - f.p) * (2.0 - f.p)) : 0.0) -
              y * std::pow(mu, 1.0 - f.p) / (1.0 - f.p) + std::pow(mu, 2.0 - f.p) / (2.0 - f.p));
      const double wt = wi * std::pow(mu, 2.0 - f.p);
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b) h(a, b) += wt * ctx.x(i, a) * ctx.x(i, b);
    }
    for (std::size_t j = 0; j < rho.size(); ++j)
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b) h(a, b) += std::exp(rho[j]) * ctx.penalties[j](a, b);
    fit.deviance = dev;
    fit.chol = cholesky(std::move(h)).value();
    return laml_score(ctx, fit, f, rho);
  }
};

// The shape gradient against central differences of the score with the
// coefficients held, relative 1e-6, with and without prior weights, p
// estimated and fixed; past the upper end of p's interval the score is flat
// in p_t, and the gradient, pointing out of the interval there, is held at
// zero together with its Hessian row and column.
TEST(ShapeTweedie, ShapeGradientMatchesFrozenFitDifferences) {
  const Problem pr = bump_problem(400, 2, 5, 23);
  const Vector eta = testing::signal(pr, 0.8, 0.5);
  const Vector y = tweedie_draws(eta, 1.6, 2.0, 4);
  Vector w(y.size());
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = 0.25 + static_cast<double>(i % 3);
  for (const bool weighted : {false, true})
    for (const bool estimate_p : {true, false}) {
      auto ctx =
          tweedie_context(pr, y, weighted ? std::optional<Vector>(w) : std::nullopt, estimate_p);
      Vector theta{1.0, 2.0, std::log(1.7)};
      if (estimate_p) theta.push_back(p_transform(1.55));
      const auto base = refit_at_theta(ctx, theta).value();
      const Vector tail(theta.begin() + 2, theta.end());
      const FrozenScore frozen{ctx, base, Vector{1.0, 2.0}};
      const Vector g = laml_gradient(ctx, theta).value().second;
      testing::expect_gradient_matches(
          frozen, [&](const Vector&) { return Vector(g.begin() + 2, g.end()); }, tail,
          {1e-6, 0.0, DiffScale::LargestAnalytic, 1e-5}, weighted ? "weighted" : "unweighted");
    }

  // Gamma responses: the score keeps falling as p → 2.
  Vector mu = testing::signal(pr, 0.8, 0.5);
  for (double& v : mu) v = std::exp(v);
  const Vector yg = testing::gamma_draws(mu, 5.0, 6);
  auto ctx = tweedie_context(pr, yg, std::nullopt, true);
  const Vector theta{1.0, 2.0, std::log(0.2), 4.0};  // raw p = 1.98, held at 1.95
  const auto base = refit_at_theta(ctx, theta).value();
  EXPECT_EQ(base.family.p, kTweediePowerHigh);
  const FrozenScore frozen{ctx, base, Vector{1.0, 2.0}};
  const ShapeEval ev = shape_aware_eval(ctx, theta).value();
  EXPECT_LT(laml_gradient(ctx, theta).value().second[3], 0.0);  // outward, before the hold
  EXPECT_EQ(frozen(Vector{theta[2], 4.0 + 1e-3}), frozen(Vector{theta[2], 4.0 - 1e-3}));
  EXPECT_EQ(ev.grad[3], 0.0);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(ev.hessian(3, k), 0.0);
    EXPECT_EQ(ev.hessian(k, 3), 0.0);
  }
  // The φ entry still matches the held-fit differences.
  testing::expect_gradient_matches([&](const Vector& t) { return frozen(Vector{t[0], 4.0}); },
                                   [&](const Vector&) { return Vector{ev.grad[2]}; },
                                   Vector{theta[2]}, {1e-6, 0.0, DiffScale::LargestAnalytic, 1e-5},
                                   "held p");
}

// The ρ-gradient leaves out the change of the weights μ^(2−p) with ρ; it
// stays within 2% of central differences of the refitted score.
TEST(ShapeTweedie, RhoGradientIsCloseToDifferencesOfTheScore) {
  const Problem pr = bump_problem(500, 2, 6, 29);
  const Vector y = tweedie_draws(testing::signal(pr, 0.8, 0.5), 1.5, 1.5, 8);
  auto ctx = tweedie_context(pr, y, std::nullopt, true);
  for (const Vector& rho : {Vector{0.0, 1.0}, Vector{3.0, -1.0}, Vector{-2.0, 4.0}}) {
    const Vector theta{rho[0], rho[1], std::log(1.5), 0.0};
    auto value = [&](const Vector& r) {
      return score_at(ctx, Vector{r[0], r[1], theta[2], 0.0}).value();
    };
    auto gradient = [&](const Vector& r) {
      const Vector g = laml_gradient(ctx, Vector{r[0], r[1], theta[2], 0.0}).value().second;
      return Vector{g[0], g[1]};
    };
    testing::expect_gradient_matches(value, gradient, rho,
                                     {0.02, 0.0, DiffScale::LargestAnalytic, 1e-4}, "tweedie rho");
  }
}

// The driver's checks in their order: lengths, then the starting values
// (the power before the dispersion), then the responses, then the weights;
// the power message is reachable only below the Python layer, which checks
// a fixed power itself.
TEST(ShapeTweedie, DriverChecksComeInOrder) {
  const Problem pr = bump_problem(20, 1, 3, 3);
  Vector y(20, 1.0);
  y[4] = -2.0;
  struct Case {
    Tweedie family;
    std::optional<Vector> weights;
    const char* message;
  };
  const Case cases[] = {
      {Tweedie{2.0, 0.0}, Vector(19, 1.0),
       "prior_weights length must match x rows; got weights.len()=19, x.nrows()=20"},
      {Tweedie{2.0, 0.0}, std::nullopt,
       "Tweedie variance power must be in (1, 2) — strict interior (p=1 → Poisson, p=2 → Gamma — "
       "use those families directly); got init_p=2"},
      {Tweedie{1.5, 0.0}, std::nullopt,
       "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=0"},
      {Tweedie{1.5, 1.0}, Vector(20, -1.0), "Tweedie requires y ≥ 0; got y=-2 at row 4"},
  };
  for (const Case& c : cases) {
    auto r = fit_shape_family(pr.design, y, c.weights, c.family);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, c.message);
  }
}

}  // namespace
}  // namespace quelt

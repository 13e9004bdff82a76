#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/linalg.hpp"
#include "derivative_check.hpp"
#include "design/model_design.hpp"
#include "inner/closed_form.hpp"
#include "inner/pirls.hpp"
#include "inner/working.hpp"
#include "inner_problems.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::Problem;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

double logistic(double e) { return 1.0 / (1.0 + std::exp(-e)); }

// The working quantities of a parameterless family.
template <class F>
Working<F> working() {
  return Working<F>{F{}};
}

// The Fisher weight as a function of eta, written from the GLM definition
// (dmu/deta)^2 / V(mu), and its derivative by central differences in eta.
struct WeightCase {
  const char* name;
  double (*analytic)(double mu, double eta);  // the library's dW/deta (prior weight 1)
  double (*mu_of)(double eta);
  double (*weight_of)(double eta);  // (dmu/deta)^2 / V(mu)
  std::vector<double> etas;
};

TEST(Working, WeightDerivativeMatchesDifferencesInEtaUpToTheEdge) {
  const std::vector<WeightCase> cases = {
      {"bernoulli",
       [](double mu, double e) { return working<Bernoulli>().dw_deta(mu, e, 1.0); },
       logistic,
       [](double e) {
         const double a = std::exp(-std::fabs(e));  // stable at the edges
         return a / ((1.0 + a) * (1.0 + a));
       },
       {-30.0, -20.0, -14.0, -3.0, 0.0, 0.7, 14.0, 20.0, 30.0}},
      {"poisson",
       [](double mu, double e) { return working<Poisson>().dw_deta(mu, e, 1.0); },
       [](double e) { return std::exp(e); },
       [](double e) { return std::exp(e); },
       {-30.0, -2.0, 0.0, 3.0, 30.0}},
      {"gamma_inverse",
       [](double mu, double e) { return working<GammaInverse>().dw_deta(mu, e, 1.0); },
       [](double e) { return 1.0 / e; },
       [](double e) { return 1.0 / (e * e); },
       {0.05, 0.5, 2.0, 30.0}},
      {"inverse_gaussian",
       [](double mu, double e) { return working<InverseGaussian>().dw_deta(mu, e, 1.0); },
       [](double e) { return std::exp(e); },
       // mu^2 / max(mu^3, 1e-300): the variance floor binds below mu ~ 1e-100.
       [](double e) { return std::exp(2.0 * e) / std::fmax(std::exp(3.0 * e), 1e-300); },
       {-300.0, -30.0, -1.0, 0.0, 2.0, 30.0}},
      {"gamma_log",
       [](double mu, double e) { return working<GammaLog>().dw_deta(mu, e, 1.0); },
       [](double e) { return std::exp(e); },
       [](double e) { return std::exp(2.0 * e) / std::fmax(std::exp(2.0 * e), 1e-300); },
       {-350.0, -5.0, 0.0, 5.0}},
  };
  const testing::DiffTolerance tol{1e-6, 1e-300, testing::DiffScale::EntryDifference, 1e-5};
  for (const auto& c : cases) {
    auto analytic = [&c](double e) { return c.analytic(c.mu_of(e), e); };
    for (double e : c.etas)
      testing::expect_derivative_matches(c.weight_of, analytic, e, tol, c.name);
  }
}

// The inverse-Gaussian full-Newton weight W_N(η) = F α at μ = exp(η) and its
// analytic derivative, on both signs of α (y above and below μ/2).
TEST(Working, InverseGaussianNewtonWeightDerivativeMatchesDifferences) {
  const auto ig = working<InverseGaussian>();
  const double wp = 1.7;
  const testing::DiffTolerance tol{1e-7, 1e-12, testing::DiffScale::EntryDifference, 1e-5};
  for (double y : {0.05, 1.0, 6.0}) {
    auto weight = [&](double e) { return ig.newton_weight(y, std::exp(e), wp); };
    auto slope = [&](double e) { return ig.newton_weight_deta(y, std::exp(e), wp); };
    for (double e : {-3.0, -0.4, 0.0, 1.2, 4.0})
      testing::expect_derivative_matches(weight, slope, e, tol, "y=" + std::to_string(y));
  }
}

TEST(Working, FisherWeightsMatchTheirClosedForms) {
  // w = w_prior (dmu/deta)^2 / V.
  for (double mu : {1e-3, 0.2, 0.5, 0.9}) {
    EXPECT_NEAR(working<Bernoulli>().pair(1.0, mu, 0.0, 2.0).w, 2.0 * mu * (1 - mu), 1e-15);
  }
  for (double mu : {1e-3, 1.0, 40.0}) {
    EXPECT_NEAR(working<Poisson>().pair(2.0, mu, std::log(mu), 3.0).w, 3.0 * mu, 1e-12 * mu);
    EXPECT_NEAR(working<GammaLog>().pair(2.0, mu, std::log(mu), 3.0).w, 3.0, 1e-12);
    EXPECT_NEAR(working<GammaInverse>().pair(2.0, mu, 1 / mu, 1.0).w, mu * mu, 1e-12 * mu * mu);
  }
  // A negative inverse-link mean keeps a positive weight.
  EXPECT_GT(working<GammaInverse>().pair(1.0, -0.5, -2.0, 1.0).w, 0.0);
}

TEST(Working, BinomialWeightsAtMeansRoundingToZeroOrOneStayTiny) {
  // eta = +-40 and beyond give a mean of exactly 1 or 0 in double precision.
  for (double eta : {40.0, 800.0, -40.0, -800.0}) {
    const double mu = inverse_link<Link::Logit>(eta);
    if (eta != -40.0) {
      ASSERT_TRUE(mu == 0.0 || mu == 1.0);
    }
    for (double y : {0.0, 1.0}) {
      const WorkingPair b = working<Bernoulli>().pair(y, mu, eta, 1.0);
      const WorkingPair q = working<QuasiBinomial>().pair(y, mu, eta, 1.0);
      EXPECT_GT(b.w, 0.0);
      EXPECT_LT(b.w, 1e-14) << "eta=" << eta;
      EXPECT_EQ(b.w, q.w);
      EXPECT_TRUE(std::isfinite(b.z));
    }
    EXPECT_TRUE(std::isfinite(working<Bernoulli>().dw_deta(mu, eta, 1.0)));
    EXPECT_LT(std::fabs(working<Bernoulli>().dw_deta(mu, eta, 1.0)), 1e-14);
  }
}

TEST(Working, InverseGaussianNewtonWeightFallsBackToFisherPerObservation) {
  const double mu = 2.0, eta = std::log(mu);
  const double fisher = 1.0 / mu;  // mu^2 / mu^3
  // y = mu: alpha = 1, Newton equals Fisher.
  auto same = working<InverseGaussian>().pair(mu, mu, eta, 1.0);
  EXPECT_NEAR(same.w, fisher, 1e-15);
  EXPECT_NEAR(same.z, eta, 1e-15);
  // alpha = (2y - mu)/mu: y = 1.5 gives alpha = 0.5.
  auto newton = working<InverseGaussian>().pair(1.5, mu, eta, 1.0);
  EXPECT_NEAR(newton.w, 0.5 * fisher, 1e-15);
  EXPECT_NEAR(newton.z, eta + (-0.5 / mu) / 0.5, 1e-15);
  // y <= mu/2 gives alpha <= 0: the Fisher pair.
  for (double y : {1.0, 0.2}) {
    auto fb = working<InverseGaussian>().pair(y, mu, eta, 1.0);
    EXPECT_NEAR(fb.w, fisher, 1e-15);
    EXPECT_NEAR(fb.z, eta + (y - mu) / mu, 1e-15);
  }
}

FitContext<Poisson> tiny_poisson(Vector y) {
  FitContext<Poisson> ctx;
  ctx.x = Matrix(y.size(), 1, 1.0);
  ctx.y = std::move(y);
  return ctx;
}

TEST(PirlsStep, RejectionRules) {
  const auto ctx = tiny_poisson({0.0, 3.0});
  const Vector eta{0.0, 1.0};
  const Vector mu{1.0, std::exp(1.0)};
  const double theta = 10.0 * 1.4901161193847656e-8 * (std::fabs(5.0) + 0.1);
  struct Case {
    bool first;
    double p_new;
    Vector eta, mu;
    bool reject;
  };
  const std::vector<Case> cases = {
      {true, kNaN, eta, mu, true},  // non-finite P even in the first iteration
      {true, kInf, eta, mu, true},
      {true, 1e300, eta, mu, false},         // first iteration: any finite rise
      {false, 5.0 + theta, eta, mu, false},  // a rise of exactly theta is accepted
      {false, std::nextafter(5.0 + theta, 10.0), eta, mu, true},
      {false, 4.0, eta, mu, false},
      {true, 1.0, {0.0, kInf}, mu, true},   // non-finite eta
      {true, 1.0, eta, {1.0, kNaN}, true},  // non-finite mu
      {true, 1.0, eta, {0.0, 0.0}, false},  // y = 0, mu = 0: floored mean, finite deviance
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(pirls_reject_step(ctx, c.first, 5.0, theta, c.eta, &c.mu, c.p_new), c.reject)
        << "case " << i;
  }
  // With P_old = 0 the threshold is 10 * 2^-26 * 0.1, not 0.
  const double th0 = 10.0 * 1.4901161193847656e-8 * 0.1;
  EXPECT_FALSE(pirls_reject_step(ctx, false, 0.0, th0, eta, &mu, 1.4e-8));
  EXPECT_THROW(pirls_reject_step(ctx, true, 0.0, th0, eta, nullptr, 1.0), InvariantViolation);
  // Binomial: y = 0 at mu = 1 is clamped, so it is no reason to reject.
  FitContext<Bernoulli> b;
  b.y = {0.0};
  const Vector e1{40.0}, m1{1.0};
  EXPECT_FALSE(pirls_reject_step(b, false, 1.0, 1.0, e1, &m1, 1.0));
}

template <class F>
FitContext<F> context_for(const Problem& pr, Vector y, std::optional<Vector> w = std::nullopt) {
  InnerOptions o;
  o.tol = 1e-12;
  return make_fit_context(pr.design, std::move(y), std::move(w), F{}, o);
}

template <class F>
Matrix penalty_at(const FitContext<F>& ctx, double rho) {
  const Vector r(ctx.penalties.size(), rho);
  return total_penalty(ctx.penalties, r, ctx.p());
}

struct GlmFns {
  double (*mu)(double);
  double (*dmu)(double);
  double (*var)(double);
};
const GlmFns kPoissonFns{[](double e) { return std::exp(e); }, [](double e) { return std::exp(e); },
                         [](double m) { return m; }};
const GlmFns kLogitFns{logistic, [](double e) { return logistic(e) * (1.0 - logistic(e)); },
                       [](double m) { return m * (1.0 - m); }};
const GlmFns kGammaLogFns{[](double e) { return std::exp(e); },
                          [](double e) { return std::exp(e); }, [](double m) { return m * m; }};
const GlmFns kGammaInverseFns{[](double e) { return 1.0 / e; },
                              [](double e) { return -1.0 / (e * e); },
                              [](double m) { return m * m; }};

template <class F>
void check_limits(const Problem& pr, const Vector& y, const GlmFns& fns, const char* name) {
  auto ctx = context_for<F>(pr, y);
  const std::size_t p = ctx.p();
  const Vector eta0(y.size(), std::log(0.5 + 0.1));

  // Huge lambda: the bump coefficients vanish and the rest is the GLM fit
  // on the penalty's null space (intercept and linear columns).
  auto big = pirls(ctx, penalty_at(ctx, 15.0));
  ASSERT_TRUE(big.ok()) << name;
  std::vector<std::size_t> null_cols{0};
  for (std::size_t t = 0; t < pr.cov.size(); ++t)
    null_cols.push_back(1 + t * (p - 1) / pr.cov.size());
  const Vector ref_null =
      testing::reference_irls(ctx.x, null_cols, Matrix(null_cols.size(), null_cols.size()), y,
                              Vector(y.size(), 0.0), fns.mu, fns.dmu, fns.var);
  for (std::size_t a = 0; a < null_cols.size(); ++a)
    EXPECT_NEAR(big.value().beta[null_cols[a]], ref_null[a], 1e-4) << name;
  for (std::size_t j = 0; j < p; ++j) {
    bool is_null = false;
    for (std::size_t c : null_cols) is_null |= c == j;
    if (!is_null) {
      EXPECT_NEAR(big.value().beta[j], 0.0, 1e-5) << name << " j=" << j;
    }
  }

  // lambda -> 0: the unpenalized GLM fit on all columns.
  auto small = pirls(ctx, penalty_at(ctx, -25.0));
  ASSERT_TRUE(small.ok()) << name;
  EXPECT_TRUE(small.value().converged) << name;
  std::vector<std::size_t> all(p);
  for (std::size_t j = 0; j < p; ++j) all[j] = j;
  const Vector ref_all = testing::reference_irls(ctx.x, all, Matrix(p, p), y, Vector(y.size(), 0.0),
                                                 fns.mu, fns.dmu, fns.var);
  for (std::size_t j = 0; j < p; ++j)
    EXPECT_NEAR(small.value().beta[j], ref_all[j], 1e-6 * (1.0 + std::fabs(ref_all[j]))) << name;
  (void)eta0;
}

TEST(Pirls, HugeAndVanishingPenaltyGiveNullSpaceAndUnpenalizedFits) {
  const Problem pr = bump_problem(300, 2, 5, 11);
  const Vector f = testing::signal(pr, 0.8, 0.3);
  check_limits<Poisson>(pr, testing::poisson_draws(f, 5), kPoissonFns, "poisson");
  check_limits<Bernoulli>(pr, testing::bernoulli_draws(f, 6), kLogitFns, "bernoulli");
  Vector mu(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) mu[i] = std::exp(f[i]);
  check_limits<GammaLog>(pr, testing::gamma_draws(mu, 4.0, 7), kGammaLogFns, "gamma_log");
}

TEST(Pirls, HugePenaltyOnCubicRegressionSmoothGivesTheLinearGlm) {
  // The penalty of a cubic regression smooth leaves the linear functions of
  // x unpenalized: at a huge lambda the fitted predictor is the GLM fit on
  // [1, x].
  const std::size_t n = 250;
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> unif(0.0, 2.0);
  Matrix cov(n, 1);
  Vector eta(n);
  for (std::size_t i = 0; i < n; ++i) {
    cov(i, 0) = unif(rng);
    eta[i] = 0.3 + std::sin(3.0 * cov(i, 0));
  }
  const Vector y = testing::poisson_draws(eta, 15);
  auto design = build_cr_design(cov.view(), 10);
  ASSERT_TRUE(design.ok());
  auto ctx = make_fit_context(design.value(), y, std::nullopt, poisson_log());
  auto fit = pirls(ctx, penalty_at(ctx, 18.0));
  ASSERT_TRUE(fit.ok());
  Matrix lin(n, 2, 1.0);
  for (std::size_t i = 0; i < n; ++i) lin(i, 1) = cov(i, 0);
  const Vector ref = testing::reference_irls(lin, {0, 1}, Matrix(2, 2), y, Vector(n, 0.0),
                                             kPoissonFns.mu, kPoissonFns.dmu, kPoissonFns.var);
  for (std::size_t i = 0; i < n; ++i)
    EXPECT_NEAR(fit.value().eta[i], ref[0] + ref[1] * cov(i, 0), 1e-4);
}

TEST(Pirls, ConvergedFitIsStationaryForThePenalizedDeviance) {
  // X^T [w_prior (y - mu) / (g' V)] = S_lambda beta at convergence.
  const Problem pr = bump_problem(250, 1, 6, 3);
  const Vector f = testing::signal(pr, 1.0, 0.5);
  Vector w(250);
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = 0.5 + (i % 3);
  auto ctx = context_for<Poisson>(pr, testing::poisson_draws(f, 9), w);
  const Matrix s = penalty_at(ctx, 1.0);
  auto fit = pirls(ctx, s);
  ASSERT_TRUE(fit.ok());
  const InnerFit& r = fit.value();
  EXPECT_TRUE(r.converged);
  EXPECT_GE(r.iterations, 2u);
  Vector score(r.n);
  for (std::size_t i = 0; i < r.n; ++i) score[i] = w[i] * (ctx.y[i] - r.mu[i]);
  const Vector lhs = xtwz(ctx.x.view(), nullptr, score);
  for (std::size_t a = 0; a < r.p; ++a) {
    double sb = 0.0;
    for (std::size_t b = 0; b < r.p; ++b) sb += s(a, b) * r.beta[b];
    EXPECT_NEAR(lhs[a], sb, 1e-6 * (1.0 + std::fabs(lhs[a])));
  }
  // With Fisher weights the working RSS is the Pearson statistic.
  double pearson = 0.0;
  for (std::size_t i = 0; i < r.n; ++i)
    pearson += w[i] * (ctx.y[i] - r.mu[i]) * (ctx.y[i] - r.mu[i]) / r.mu[i];
  EXPECT_NEAR(r.weighted_rss, pearson, 1e-9 * pearson);
  ASSERT_TRUE(r.x.has_value());
  EXPECT_EQ(r.x->ptr, ctx.x.data());  // a view of the context's matrix, not a copy
}

// A constant response is fitted exactly; its deviance is rounding noise, yet
// the loop ends converged in any units of y and of the weights (λ taken in
// the units of the weights w·W(ȳ), as the fit of the data in other units).
// Responses far below the starting means' floors (0.1 and 0.001) need more
// than the iteration limit to get there from the start, so c stops at 1e-6.
template <class F>
void check_constant_response_converges(const char* name) {
  const Problem pr = bump_problem(150, 2, 5, 5);
  for (double c : {1e-6, 1.0, 1e12, 1e80}) {
    for (double wc : {1.0, 1e-30, 1e30}) {
      const Vector y(150, 2.5 * c);
      auto ctx = context_for<F>(pr, y, Vector(150, wc));
      ctx.inner_options.tol = 1e-9;
      const double units = std::log(Working<F>{F{}}.fisher_weight(y[0], wc));
      for (double rho : {-5.0, 5.0, 15.0}) {
        auto r = pirls(ctx, penalty_at(ctx, rho + units));
        ASSERT_TRUE(r.ok()) << name << " rho=" << rho << " y5=" << ctx.y[5];
        EXPECT_TRUE(r.value().converged) << name << " c=" << c << " w=" << wc << " rho=" << rho;
        for (std::size_t i = 0; i < 150; ++i)
          ASSERT_NEAR(r.value().mu[i], y[i], 1e-5 * y[i]) << name << " c=" << c << " w=" << wc;
      }
    }
  }
}

TEST(Pirls, ConstantResponseConvergesInAnyUnits) {
  check_constant_response_converges<Poisson>("poisson");
  check_constant_response_converges<QuasiPoisson>("quasipoisson");
  check_constant_response_converges<GammaLog>("gamma_log");
  check_constant_response_converges<GammaInverse>("gamma_inverse");
  check_constant_response_converges<InverseGaussian>("inverse_gaussian");
}

// One response far from the others: that row outweighs the rest by many
// digits, and once P is at its minimum the rounding of the solve moves D by
// more than tol of itself. The fit still ends converged, and a fit restarted
// from its coefficients with tol = 0, which no deviance test can end, stops
// converged within a few iterations of P ceasing to fall, having found no P
// lower by more than 1e-5 of it. The longest walk of the table, a Poisson
// count 1e12 at ρ = −2 whose minimum puts 187 means below 1e-300, takes
// 760-910 iterations (eight BLAS kernels measured): the limit leaves it room.
template <class F>
void check_far_response_fit_ends_at_the_rounding_floor(const char* name, Vector y, double rho) {
  const Problem pr = bump_problem(300, 1, 8, 17);
  auto ctx = context_for<F>(pr, std::move(y));
  ctx.inner_options.tol = 1e-9;
  ctx.inner_options.max_iter = 2000;
  ctx.inner_options.stall_iters = kPirlsStallIters;
  const Matrix s = penalty_at(ctx, rho);
  auto r = pirls(ctx, s);
  ASSERT_TRUE(r.ok()) << name << " rho=" << rho << " y5=" << ctx.y[5];
  const InnerFit& fit = r.value();
  EXPECT_TRUE(fit.converged) << name << " rho=" << rho;
  const double p_fit = fit.deviance + quadratic_form(s, fit.beta);
  ctx.inner_options.tol = 0.0;
  auto again = pirls(ctx, s, fit.beta);
  ASSERT_TRUE(again.ok()) << name << " rho=" << rho << ": " << again.error().message;
  EXPECT_TRUE(again.value().converged) << name << " rho=" << rho;
  EXPECT_LE(again.value().iterations, 3 * kPirlsStallIters) << name << " rho=" << rho;
  const double p_again = again.value().deviance + quadratic_form(s, again.value().beta);
  EXPECT_GE(p_again, p_fit - 1e-5 * std::fabs(p_fit)) << name << " rho=" << rho;
}

TEST(Pirls, FarResponseFitEndsAtTheRoundingFloor) {
  const Problem pr = bump_problem(300, 1, 8, 17);
  const Vector f = testing::signal(pr, 0.5, 0.0);
  Vector mu(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) mu[i] = std::exp(f[i]);
  for (double rho : {-2.0, 2.0, 6.0}) {
    for (double far : {1e6, 1e9, 1e12}) {
      Vector yp = testing::poisson_draws(f, 3);
      yp[5] = far;
      check_far_response_fit_ends_at_the_rounding_floor<Poisson>("poisson", yp, rho);
      Vector yg = testing::gamma_draws(mu, 2.0, 3);
      yg[5] = far;
      check_far_response_fit_ends_at_the_rounding_floor<GammaLog>("gamma_log", yg, rho);
      check_far_response_fit_ends_at_the_rounding_floor<InverseGaussian>("inverse_gaussian", yg,
                                                                         rho);
      // W = μ² under the inverse link, and far responses fail its factor
      // sooner: 1e2 to 1e4.
      yg[5] = std::cbrt(far);
      check_far_response_fit_ends_at_the_rounding_floor<GammaInverse>("gamma_inverse", yg, rho);
    }
  }
}

// The Newton decrement gᵀH⁻¹g at β: the fall of P = D + βᵀS_λβ that a
// Newton step from β predicts, with g = Xᵀ((y − μ)μ'/V) − S_λβ and H =
// Xᵀdiag(μ'²/V)X + S_λ (half of P's gradient and Hessian under a canonical
// link) written from the GLM's mean and variance functions and solved by
// elimination.
template <class F>
double newton_decrement(const FitContext<F>& ctx, const Matrix& s, const Vector& beta,
                        const GlmFns& fns) {
  const std::size_t n = ctx.n(), p = ctx.p();
  Vector g(p, 0.0);
  Matrix h(p, p);
  for (std::size_t i = 0; i < n; ++i) {
    double eta = 0.0;
    for (std::size_t j = 0; j < p; ++j) eta += ctx.x(i, j) * beta[j];
    const double mu = fns.mu(eta), d = fns.dmu(eta), v = fns.var(mu);
    const double r = (ctx.y[i] - mu) * d / v, w = d * d / v;
    for (std::size_t j = 0; j < p; ++j) {
      g[j] += ctx.x(i, j) * r;
      for (std::size_t k = 0; k < p; ++k) h(j, k) += w * ctx.x(i, j) * ctx.x(i, k);
    }
  }
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = 0; k < p; ++k) {
      g[j] -= s(j, k) * beta[k];
      h(j, k) += s(j, k);
    }
  const Vector step = testing::dense_solve(h, g);
  double dec = 0.0;
  for (std::size_t j = 0; j < p; ++j) dec += g[j] * step[j];
  return dec;
}

// One far Gamma response under the inverse link (W = μ², 1e10 to 1e12 at
// the far row) ends at the minimum of P itself, where the Newton step
// predicts no fall: measured 1e-22 to 1e-13 against P of a few hundred. The
// solve's relative ridge R = 1e-12·diag|H| is of order one at such a row; a
// loop that solved for β rather than for the step stopped at the minimum of
// P + βᵀRβ, its decrement 5e-10 to 3e-3 of P.
TEST(Pirls, FarResponseFitEndsAtTheMinimumOfP) {
  const Problem pr = bump_problem(300, 1, 8, 17);
  const Vector f = testing::signal(pr, 0.5, 0.0);
  Vector mu(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) mu[i] = std::exp(f[i]);
  const std::vector<std::pair<double, double>> cases = {
      {1e5, -2.0}, {1e5, 2.0}, {1e5, 6.0}, {1e6, -2.0}, {1e6, 6.0}};  // (y_5, ρ)
  for (const auto& [far, rho] : cases) {
    Vector y = testing::gamma_draws(mu, 2.0, 3);
    y[5] = far;
    auto ctx = context_for<GammaInverse>(pr, std::move(y));
    ctx.inner_options = InnerOptions{1000, 1e-9, 10, kPirlsStallIters};
    const Matrix s = penalty_at(ctx, rho);
    auto r = pirls(ctx, s);
    ASSERT_TRUE(r.ok()) << far << " rho=" << rho << ": " << r.error().message;
    EXPECT_TRUE(r.value().converged) << far << " rho=" << rho;
    const double p_fit = r.value().deviance + quadratic_form(s, r.value().beta);
    EXPECT_LT(newton_decrement(ctx, s, r.value().beta, kGammaInverseFns), 1e-10 * p_fit)
        << far << " rho=" << rho;
  }
}

TEST(Pirls, ExitsAndStartingPoints) {
  const Problem pr = bump_problem(120, 1, 4, 21);
  const Vector f = testing::signal(pr, 0.5, 0.2);
  auto ctx = context_for<Poisson>(pr, testing::poisson_draws(f, 4));
  const Matrix s = penalty_at(ctx, 0.0);
  const std::size_t n = ctx.n(), p = ctx.p();

  // max_iter = 0: zero beta, start eta, chol of the ridged prior-weight matrix.
  ctx.inner_options.max_iter = 0;
  auto z = pirls(ctx, s);
  ASSERT_TRUE(z.ok());
  EXPECT_EQ(z.value().iterations, 0u);
  EXPECT_FALSE(z.value().converged);
  for (double b : z.value().beta) EXPECT_EQ(b, 0.0);
  EXPECT_NEAR(z.value().eta[0], std::log(std::fmax(ctx.y[0], 0.1)), 1e-15);
  Matrix h0 = xtwx(ctx.x.view(), nullptr);
  double dmax = 0.0;
  for (std::size_t i = 0; i < p; ++i) dmax = std::fmax(dmax, std::fabs(h0(i, i) + s(i, i)));
  const Matrix& l = z.value().chol;
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b <= a; ++b) {
      double llt = 0.0;
      for (std::size_t k = 0; k < p; ++k) llt += l(a, k) * l(b, k);
      const double want = h0(a, b) + s(a, b) + (a == b ? 1e-12 * std::fmax(dmax, 1.0) : 0.0);
      EXPECT_NEAR(llt, want, 1e-10 * (1.0 + std::fabs(want)));
    }

  // A warm start with max_iter = 0 returns beta = 0 but eta = X beta0; a
  // one-entry eta_start overrides the warm start.
  const Vector beta0(p, 0.1);
  auto w0 = pirls(ctx, s, beta0);
  ASSERT_TRUE(w0.ok());
  const Vector xb = matvec(ctx.x.view(), beta0);
  for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(w0.value().eta[i], xb[i], 1e-14);
  for (double b : w0.value().beta) EXPECT_EQ(b, 0.0);
  ctx.eta_start = Vector{0.25};
  auto es = pirls(ctx, s, beta0);
  ASSERT_TRUE(es.ok());
  for (double e : es.value().eta) EXPECT_EQ(e, 0.25);
  ctx.eta_start.reset();

  // tol = 0 never converges: the loop runs to max_iter.
  ctx.inner_options.max_iter = 7;
  ctx.inner_options.tol = 0.0;
  auto t0 = pirls(ctx, s);
  ASSERT_TRUE(t0.ok());
  EXPECT_EQ(t0.value().iterations, 7u);
  EXPECT_FALSE(t0.value().converged);

  // A NaN response makes every trial deviance NaN: halving fails in the first
  // iteration, the start is returned, and this is no error.
  ctx.inner_options.tol = 1e-9;
  ctx.y[5] = kNaN;
  auto hf = pirls(ctx, s);
  ASSERT_TRUE(hf.ok());
  EXPECT_EQ(hf.value().iterations, 1u);
  EXPECT_FALSE(hf.value().converged);
  for (double b : hf.value().beta) EXPECT_EQ(b, 0.0);
}

// Repeated fits on one context reuse its work buffers: every fit must give
// the same record to the bit whatever ran before it (a warm-started fit, a
// fit that halved). A cross product the fit hands on equals XᵀWX at the
// record's weights, to the bit.
TEST(Pirls, RepeatedFitsOnOneContextAreIdenticalAndHandOnTheirCrossProduct) {
  const Problem pr = bump_problem(3000, 2, 5, 31);
  const Vector f = testing::signal(pr, 0.8, 0.3);
  auto ctx = context_for<Poisson>(pr, testing::poisson_draws(f, 8));
  const Matrix s = penalty_at(ctx, 0.5);
  auto first = pirls(ctx, s);
  ASSERT_TRUE(first.ok());
  const InnerFit& a = first.value();
  ASSERT_TRUE(a.converged);
  for (double r : {-3.0, 0.5, 4.0}) {
    auto fr = pirls(ctx, penalty_at(ctx, r));
    ASSERT_TRUE(fr.ok());
    if (fr.value().xtwx) {
      EXPECT_EQ(*fr.value().xtwx, xtwx(ctx.x.view(), fr.value().w.data())) << r;
    }
  }

  ASSERT_TRUE(pirls(ctx, penalty_at(ctx, 3.0), a.beta).ok());
  Vector far(ctx.p(), 0.0);
  far[0] = 40.0;  // exp(40): the first trials overshoot and halve
  ASSERT_TRUE(pirls(ctx, s, far).ok());
  auto again = pirls(ctx, s);
  ASSERT_TRUE(again.ok());
  const InnerFit& b = again.value();
  EXPECT_EQ(a.beta, b.beta);
  EXPECT_EQ(a.eta, b.eta);
  EXPECT_EQ(a.mu, b.mu);
  EXPECT_EQ(a.w, b.w);
  EXPECT_EQ(a.z, b.z);
  EXPECT_EQ(*a.dw_deta, *b.dw_deta);
  EXPECT_EQ(a.chol, b.chol);
  EXPECT_EQ(a.deviance, b.deviance);
  EXPECT_EQ(a.weighted_rss, b.weighted_rss);
  EXPECT_EQ(a.iterations, b.iterations);

  // A record handed back to the pool keeps nothing alive that a later fit
  // could see.
  InnerFit spent = std::move(again).value();
  ctx.scratch.give_fit(spent);
  auto third = pirls(ctx, s);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(third.value().mu, a.mu);

  // The weighted residual sum is that of the returned w and z.
  double rss = 0.0;
  for (std::size_t i = 0; i < a.w.size(); ++i) {
    const double e = a.z[i] - a.eta[i];
    rss += a.w[i] * (e * e);
  }
  EXPECT_EQ(rss, a.weighted_rss);

  // A fit ended by its iteration limit forms no cross product; the record
  // says so instead of holding a stale one.
  ctx.inner_options.max_iter = 2;
  ctx.inner_options.tol = 0.0;
  auto limited = pirls(ctx, s);
  ASSERT_TRUE(limited.ok());
  EXPECT_EQ(limited.value().iterations, 2u);
  EXPECT_FALSE(limited.value().xtwx.has_value());
}

TEST(Pirls, SingularSystemIsWrappedError) {
  // A zero column and no penalty: X^T W X is singular.
  FitContext<Poisson> ctx;
  ctx.x = Matrix(20, 2, 1.0);
  for (std::size_t i = 0; i < 20; ++i) ctx.x(i, 1) = 0.0;
  ctx.y = Vector(20, 2.0);
  auto r = pirls(ctx, Matrix(2, 2));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, QueltError::Kind::SingularSystem);
  EXPECT_EQ(r.error().message.rfind("PIRLS factor: Cholesky failed", 0), 0u) << r.error().message;
}

TEST(ClosedFormGaussian, EqualsPenalizedWeightedLeastSquares) {
  const Problem pr = bump_problem(200, 2, 5, 31);
  Vector y = testing::normal_draws(testing::signal(pr, 1.0, 2.0), 0.3, 8);
  Vector w(200);
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = (i % 7 == 0) ? 0.0 : 1.0 + 0.25 * (i % 4);
  auto ctx = make_fit_context(pr.design, y, w, gaussian_identity());
  const Vector rho{0.5, -1.0};
  auto fit = solve_closed_form_gaussian(ctx, rho);
  ASSERT_TRUE(fit.ok());
  const InnerFit& r = fit.value();
  EXPECT_EQ(r.iterations, 1u);
  EXPECT_TRUE(r.converged);
  EXPECT_FALSE(r.dw_deta.has_value());
  EXPECT_EQ(r.deviance, r.weighted_rss);

  // The same fit by a plain penalized IRLS with identity link (one step).
  const std::size_t p = ctx.p();
  std::vector<std::size_t> all(p);
  for (std::size_t j = 0; j < p; ++j) all[j] = j;
  const Matrix s = total_penalty(ctx.penalties, rho, p);
  // Weighted data enter the reference through sqrt(w) rows.
  Matrix xw = ctx.x;
  Vector yw = y;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double sw = std::sqrt(w[i]);
    for (std::size_t j = 0; j < p; ++j) xw(i, j) *= sw;
    yw[i] *= sw;
  }
  const Vector ref = testing::reference_irls(
      xw, all, s, yw, Vector(y.size(), 0.0), [](double e) { return e; }, [](double) { return 1.0; },
      [](double) { return 1.0; }, 2);
  for (std::size_t j = 0; j < p; ++j)
    EXPECT_NEAR(r.beta[j], ref[j], 1e-9 * (1 + std::fabs(ref[j])));

  // Zero-weight rows: the fit equals the fit without them.
  double rss = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) rss += w[i] * (y[i] - r.mu[i]) * (y[i] - r.mu[i]);
  EXPECT_NEAR(r.weighted_rss, rss, 1e-10 * rss);
  EXPECT_EQ(r.w[0], 0.0);
  EXPECT_EQ(r.z, y);
}

TEST(PirlsStep, InverseLinkMeansOutsideTheDomainAreHalved) {
  // μ = 1/η: a negative or floored mean is no Gamma mean, whatever its
  // (finite, floored) deviance; a positive one is accepted.
  FitContext<GammaInverse> ctx;
  ctx.x = Matrix(2, 1, 1.0);
  ctx.y = Vector{1.0, 2.0};
  struct Case {
    Vector eta;
    bool reject;
  };
  const std::vector<Case> cases = {
      {{1.0, 0.5}, false},
      {{1.0, -0.5}, true},    // μ = −2
      {{1.0, 1e301}, true},   // μ = 1e-301, below the mean floor
      {{1.0, 1e299}, false},  // μ = 1e-299, above it
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    Vector mu(2);
    for (std::size_t j = 0; j < 2; ++j) mu[j] = inverse_link<Link::Inverse>(c.eta[j]);
    EXPECT_EQ(pirls_reject_step(ctx, true, 5.0, 1.0, c.eta, &mu, 1.0), c.reject) << "case " << i;
  }
}

}  // namespace
}  // namespace quelt

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/gamma_functions.hpp"
#include "derivative_check.hpp"
#include "inner/pirls.hpp"
#include "inner_problems.hpp"
#include "score/envelope.hpp"
#include "score/newton_terms.hpp"
#include "score/warm_start.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::DiffScale;
using testing::Problem;

template <class F>
FitContext<F> context_for(const Problem& pr, Vector y, double tol = 1e-12) {
  InnerOptions o;
  o.tol = tol;
  return make_fit_context(pr.design, std::move(y), std::nullopt, F{}, o);
}

template <class F>
double score_at(const FitContext<F>& ctx, const Vector& rho) {
  auto r = envelope_score_at_rho(ctx, rho);
  EXPECT_TRUE(r.ok());
  return r.value().first;
}
template <class F>
Vector grad_at(const FitContext<F>& ctx, const Vector& rho) {
  auto r = envelope_score_at_rho(ctx, rho);
  EXPECT_TRUE(r.ok());
  return r.value().second;
}

double max_abs(const Vector& v) {
  double m = 0.0;
  for (double x : v) m = std::fmax(m, std::fabs(x));
  return m;
}

// The score's gradient against central differences of the score (h =
// 1e-4), within rel · (max_j |g_j| + 1e-3).
template <class F>
void expect_gradient_matches_score(const FitContext<F>& ctx, const Vector& rho, double rel,
                                   const char* name) {
  testing::expect_gradient_matches([&](const Vector& r) { return score_at(ctx, r); },
                                   [&](const Vector& r) { return grad_at(ctx, r); }, rho,
                                   {rel, rel * 1e-3, DiffScale::LargestAnalytic}, name);
}

// The evaluation's Hessian against the symmetrised central differences of
// the gradient (h = 1e-4), within rel · the largest difference.
template <class F>
void expect_hessian_matches_gradient(FitContext<F>& ctx, const Vector& rho, double rel,
                                     const char* name) {
  auto hessian = [&](const Vector& r) {
    auto ev = envelope_eval(ctx, r);
    if (!ev.ok()) {
      ADD_FAILURE() << name << ": " << ev.error().message;
      return Matrix();
    }
    return ev.value().hessian;
  };
  testing::expect_hessian_matches([&](const Vector& r) { return grad_at(ctx, r); }, hessian, rho,
                                  {rel, 0.0, DiffScale::LargestDifference}, name);
}

TEST(Envelope, GaussianGradientAndHessianMatchDifferences) {
  const Problem pr = bump_problem(200, 2, 6, 41);
  const Vector y = testing::normal_draws(testing::signal(pr, 1.0, 1.0), 0.4, 3);
  auto ctx = context_for<Gaussian>(pr, y);
  for (const Vector& rho : {Vector{0.0, 0.0}, Vector{2.0, -1.5}, Vector{-3.0, 4.0}}) {
    expect_gradient_matches_score(ctx, rho, 1e-6, "gaussian");
    expect_hessian_matches_gradient(ctx, rho, 1e-5, "gaussian");
  }
}

TEST(Envelope, OverlappingPenaltyGroupEntersScoreGradientAndHessian) {
  // One block of k bumps carrying two overlapping penalties: first
  // differences of the bump coefficients and a ridge on the first bump.
  Problem pr = bump_problem(150, 1, 6, 17);
  const std::size_t p = pr.design.x.cols(), k = 6, c0 = 2;
  Matrix s1(p, p), s2(p, p);
  for (std::size_t b = 0; b + 1 < k; ++b) {
    s1(c0 + b, c0 + b) += 1.0;
    s1(c0 + b + 1, c0 + b + 1) += 1.0;
    s1(c0 + b, c0 + b + 1) -= 1.0;
    s1(c0 + b + 1, c0 + b) -= 1.0;
  }
  s2(c0, c0) = 1.0;
  pr.design.penalties = {s1, s2};
  pr.design.penalty_ranks = {k - 1, 1};
  pr.design.penalty_log_pdets = {0.0, 0.0};  // not used for a group
  pr.design.penalty_groups = {{0, 1}};
  pr.design.null_space_dim = 2;
  const Vector y = testing::normal_draws(testing::signal(pr, 1.0, 0.0), 0.3, 5);
  auto ctx = context_for<Gaussian>(pr, y);
  for (const Vector& rho : {Vector{0.0, 0.0}, Vector{1.0, -2.0}}) {
    expect_gradient_matches_score(ctx, rho, 1e-6, "overlap");
    expect_hessian_matches_gradient(ctx, rho, 1e-5, "overlap");
  }
  // Poisson with the same overlapping group: Hessian against the gradient.
  Vector eta = testing::signal(pr, 0.7, 0.5);
  auto pctx = context_for<Poisson>(pr, testing::poisson_draws(eta, 8));
  expect_hessian_matches_gradient(pctx, Vector{0.5, -1.0}, 2e-4, "overlap poisson");
}

template <class F>
void pirls_family_hessian(const Problem& pr, const Vector& y, const char* name) {
  auto ctx = context_for<F>(pr, y);
  for (const Vector& rho : {Vector{0.0, 1.0}, Vector{-2.0, 2.5}})
    expect_hessian_matches_gradient(ctx, rho, 2e-4, name);
}

// Long data: the weight-derivative terms are summed over several row blocks
// and PIRLS forms its cross products over several blocks; the Hessian must
// still match differences of the gradient.
TEST(Envelope, HessianOverManyRowBlocksMatchesDifferencesOfTheGradient) {
  const Problem pr = bump_problem(40000, 2, 4, 29);
  const Vector f = testing::signal(pr, 0.8, 0.3);
  auto pctx = context_for<Poisson>(pr, testing::poisson_draws(f, 4));
  expect_hessian_matches_gradient(pctx, Vector{0.5, 2.0}, 2e-4, "long poisson");
  auto bctx = context_for<Bernoulli>(pr, testing::bernoulli_draws(f, 6));
  expect_hessian_matches_gradient(bctx, Vector{-1.0, 1.5}, 2e-4, "long bernoulli");
}

TEST(Envelope, PirlsFamilyHessiansMatchDifferencesOfTheGradient) {
  const Problem pr = bump_problem(300, 2, 5, 23);
  const Vector f = testing::signal(pr, 0.8, 0.4);
  Vector mu(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) mu[i] = std::exp(f[i]);
  const Vector counts = testing::poisson_draws(f, 1);
  const Vector binary = testing::bernoulli_draws(f, 2);
  const Vector positive = testing::gamma_draws(mu, 5.0, 3);
  pirls_family_hessian<Poisson>(pr, counts, "poisson");
  pirls_family_hessian<QuasiPoisson>(pr, counts, "quasipoisson");
  pirls_family_hessian<Bernoulli>(pr, binary, "bernoulli");
  pirls_family_hessian<QuasiBinomial>(pr, binary, "quasibinomial");
  pirls_family_hessian<GammaLog>(pr, positive, "gamma_log");
  Vector inv_pos(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) inv_pos[i] = positive[i];
  pirls_family_hessian<GammaInverse>(pr, inv_pos, "gamma_inverse");
}

TEST(Envelope, InverseGaussianUsesTheFullNewtonHessian) {
  const Problem pr = bump_problem(200, 1, 5, 29);
  const Vector f = testing::signal(pr, 0.5, 0.2);
  Vector mu(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) mu[i] = std::exp(f[i]);
  const Vector y = testing::gamma_draws(mu, 100.0, 4);
  auto ctx = context_for<InverseGaussian>(pr, y);
  const Vector rho{0.5};
  auto fit = fit_at_rho(ctx, rho);
  ASSERT_TRUE(fit.ok());
  // W_i = (2 y_i - mu_i) / mu_i^2 for the log link and V = mu^3.
  const InnerFit& r = fit.value();
  Vector w(r.n);
  for (std::size_t i = 0; i < r.n; ++i) w[i] = (2.0 * y[i] - r.mu[i]) / (r.mu[i] * r.mu[i]);
  Matrix a = xtwx(ctx.x.view(), w.data());
  const Matrix s = total_penalty(ctx.penalties, rho, ctx.p());
  for (std::size_t i = 0; i < a.size(); ++i) a.data()[i] += s.data()[i];
  const auto nl = newton_log_det_h(ctx, rho, r);
  ASSERT_TRUE(nl.has_value());
  EXPECT_NEAR(*nl, testing::dense_log_abs_det(a), 1e-9);

  // With every Newton weight positive (responses above half their means) the
  // PIRLS Hessian is the full-Newton one, and the gradient with its weight
  // terms is the derivative of the score.
  for (std::size_t i = 0; i < r.n; ++i) ASSERT_GT(w[i], 0.0);
  expect_gradient_matches_score(ctx, Vector{0.5}, 1e-6, "inverse_gaussian");
  expect_gradient_matches_score(ctx, Vector{-2.0}, 1e-6, "inverse_gaussian");

  // Dispersed responses: many lie below half their means, where the Newton
  // weight is negative (and PIRLS falls back to Fisher weights). The
  // gradient is still the derivative of the score.
  auto dctx = context_for<InverseGaussian>(pr, testing::gamma_draws(mu, 2.0, 6));
  auto dfit = fit_at_rho(dctx, rho);
  ASSERT_TRUE(dfit.ok());
  std::size_t negative = 0;
  for (double v : newton_weights(dctx, dfit.value())) negative += v < 0.0;
  EXPECT_GT(negative, r.n / 10);
  for (double rj : {-2.0, 0.5, 3.0})
    expect_gradient_matches_score(dctx, Vector{rj}, 1e-6, "inverse_gaussian dispersed");

  // The gradient terms are present, so the evaluation takes the difference
  // Hessian; its twin fits are not counted.
  auto es = envelope_score(ctx, rho, r);
  ASSERT_TRUE(es.ok());
  EXPECT_TRUE(es.value().fd_hessian);
  EXPECT_TRUE(es.value().dscale_drho.has_value());
  auto ev = envelope_eval(ctx, rho);
  ASSERT_TRUE(ev.ok());
  EXPECT_EQ(ctx.fit_stats.inner_pirls_calls, 1u);
  EXPECT_EQ(ev.value().score, es.value().score);
  EXPECT_TRUE(std::isfinite(ev.value().hessian(0, 0)));
}

TEST(Envelope, InadmissiblePointGivesFixedRecordAndKeepsTheCache) {
  // Three observations and a null space of dimension 3: no residual degrees
  // of freedom.
  const Problem pr = bump_problem(3, 2, 3, 5);
  auto g = context_for<Gaussian>(pr, Vector{1.0, 2.5, 0.7});
  const Vector rho{0.0, 1.0};
  auto fit = fit_at_rho(g, rho);
  ASSERT_TRUE(fit.ok());
  auto es = envelope_score(g, rho, fit.value());
  ASSERT_TRUE(es.ok());
  const EnvelopeScore& r = es.value();
  EXPECT_EQ(r.score, 1e12);
  EXPECT_EQ(r.grad, Vector(2, 0.0));
  EXPECT_EQ(r.bsb_per_term, Vector(2, 0.0));
  EXPECT_EQ(r.trace_per_term, Vector(2, 0.0));
  EXPECT_FALSE(r.dscale_drho.has_value());
  EXPECT_EQ(r.h_inv.rows(), 0u);
  EXPECT_EQ(r.scale, 1.0);
  EXPECT_EQ(r.lambda[1], std::exp(1.0));
  auto ev = envelope_eval(g, rho);
  ASSERT_TRUE(ev.ok());
  EXPECT_EQ(ev.value().score, 1e12);
  // The difference Hessian of a flat (inadmissible) neighbourhood.
  for (double v : ev.value().hessian.storage()) EXPECT_EQ(v, 0.0);

  // A warm-start family keeps its cache at an inadmissible point.
  auto gam = context_for<GammaLog>(pr, Vector{1.0, 2.5, 0.7});
  WarmStartCache seeded;
  seeded.lambda = {1.0, 1.0};
  seeded.beta = Vector(gam.p(), 0.01);
  seeded.dbeta_drho = Matrix(gam.p(), 2, 0.0);
  *gam.warm_start.borrow_mut() = seeded;
  auto gev = envelope_eval(gam, rho);
  ASSERT_TRUE(gev.ok());
  EXPECT_EQ(gev.value().score, 1e12);
  auto cell = gam.warm_start.borrow();
  ASSERT_TRUE(cell->has_value());
  EXPECT_EQ((*cell)->beta, seeded.beta);
}

TEST(Envelope, WarmStartRepeatsTheFitInFewerIterationsAndCountersMoveExactly) {
  const Problem pr = bump_problem(400, 2, 6, 7);
  const Vector f = testing::signal(pr, 1.0, 0.8);
  auto ctx = context_for<Poisson>(pr, testing::poisson_draws(f, 12), 1e-9);
  const Vector rho{1.0, -0.5};
  auto e1 = envelope_eval(ctx, rho);
  ASSERT_TRUE(e1.ok());
  EXPECT_EQ(ctx.fit_stats.inner_pirls_calls, 1u);
  const std::uint64_t it1 = ctx.fit_stats.inner_pirls_iterations_total;
  Vector beta1 = (*ctx.warm_start.borrow())->beta;
  auto e2 = envelope_eval(ctx, rho);
  ASSERT_TRUE(e2.ok());
  EXPECT_EQ(ctx.fit_stats.inner_pirls_calls, 2u);
  const std::uint64_t it2 = ctx.fit_stats.inner_pirls_iterations_total - it1;
  EXPECT_LT(it2, it1);
  EXPECT_GE(it2, 2u);
  const Vector& beta2 = (*ctx.warm_start.borrow())->beta;
  for (std::size_t i = 0; i < beta1.size(); ++i) EXPECT_NEAR(beta1[i], beta2[i], 1e-7);
  EXPECT_NEAR(e1.value().score, e2.value().score, 1e-7 * std::fabs(e1.value().score));
  // Only the drivers' counters are left alone.
  EXPECT_EQ(ctx.fit_stats.outer_iterations, 0u);
  EXPECT_EQ(ctx.fit_stats.line_search_trials, 0u);

  // The cached derivative predicts the coefficients at a nearby point far
  // better than the cached coefficients themselves (first order).
  const Vector near{1.05, -0.45};
  const auto pred = envelope_warm_start_beta(ctx, near);
  ASSERT_TRUE(pred.has_value());
  auto exact = fit_at_rho(ctx, near);
  ASSERT_TRUE(exact.ok());
  double err_pred = 0.0, err_stale = 0.0;
  for (std::size_t i = 0; i < beta1.size(); ++i) {
    err_pred += std::pow((*pred)[i] - exact.value().beta[i], 2);
    err_stale += std::pow(beta2[i] - exact.value().beta[i], 2);
  }
  EXPECT_LT(err_pred, 0.05 * err_stale);

  // Families without the warm start never write the cache.
  auto q = context_for<QuasiPoisson>(pr, ctx.y, 1e-9);
  ASSERT_TRUE(envelope_eval(q, rho).ok());
  EXPECT_FALSE(q.warm_start.borrow()->has_value());
}

// An evaluation handed the fit of a trial at the same point and from the
// same warm start takes it over and returns exactly what a fresh evaluation
// returns, counters included; a fit from another point or start is ignored
// and left with the caller.
TEST(Envelope, EvaluationTakesOverOnlyAMatchingPriorFit) {
  const Problem pr = bump_problem(500, 2, 6, 17);
  const Vector f = testing::signal(pr, 1.0, 0.8);
  const Vector y = testing::poisson_draws(f, 5);
  const Vector rho0{0.5, -0.5}, rho1{1.0, -0.2};

  auto fresh = context_for<Poisson>(pr, y, 1e-9);
  ASSERT_TRUE(envelope_eval(fresh, rho0).ok());
  auto want = envelope_eval(fresh, rho1);
  ASSERT_TRUE(want.ok());

  auto ctx = context_for<Poisson>(pr, y, 1e-9);
  ASSERT_TRUE(envelope_eval(ctx, rho0).ok());
  const std::optional<Vector> b0 = envelope_warm_start_beta(ctx, rho1);
  ASSERT_TRUE(b0.has_value());
  auto trial = pirls(ctx, total_penalty(ctx.penalties, rho1, ctx.p()), b0);
  ASSERT_TRUE(trial.ok());

  // Another point, or the same point from another start: not taken.
  std::optional<PriorFit> other = PriorFit{rho0, b0, trial.value()};
  auto got_other = envelope_eval(ctx, rho1, other);
  ASSERT_TRUE(got_other.ok());
  EXPECT_TRUE(other.has_value());
  auto ctx2 = context_for<Poisson>(pr, y, 1e-9);
  ASSERT_TRUE(envelope_eval(ctx2, rho0).ok());
  std::optional<PriorFit> cold = PriorFit{rho1, std::nullopt, trial.value()};
  ASSERT_TRUE(envelope_eval(ctx2, rho1, cold).ok());
  EXPECT_TRUE(cold.has_value());

  // The matching fit is taken over.
  auto ctx3 = context_for<Poisson>(pr, y, 1e-9);
  ASSERT_TRUE(envelope_eval(ctx3, rho0).ok());
  std::optional<PriorFit> match = PriorFit{rho1, b0, std::move(trial).value()};
  auto got = envelope_eval(ctx3, rho1, match);
  ASSERT_TRUE(got.ok());
  EXPECT_FALSE(match.has_value());
  for (const auto* g : {&got, &got_other}) {
    EXPECT_EQ(g->value().score, want.value().score);
    EXPECT_EQ(g->value().grad, want.value().grad);
    EXPECT_EQ(g->value().hessian, want.value().hessian);
  }
  EXPECT_EQ(ctx3.fit_stats, fresh.fit_stats);
  EXPECT_EQ((*ctx3.warm_start.borrow())->beta, (*fresh.warm_start.borrow())->beta);
}

TEST(Envelope, FailedInnerFitLeavesCountersAndCacheAlone) {
  // A zero column and no penalties: the penalized system is singular.
  FitContext<Poisson> ctx;
  ctx.x = Matrix(30, 2, 1.0);
  for (std::size_t i = 0; i < 30; ++i) ctx.x(i, 1) = 0.0;
  ctx.y = Vector(30, 1.0);
  auto ev = envelope_eval(ctx, Vector{});
  ASSERT_FALSE(ev.ok());
  EXPECT_EQ(ev.error().message.rfind("PIRLS factor: ", 0), 0u);
  EXPECT_EQ(ctx.fit_stats, FitStats{});
  EXPECT_FALSE(ctx.warm_start.borrow()->has_value());
}

TEST(Envelope, NoPenaltiesGiveEmptyHessianAndEmptyDerivativeCache) {
  const Problem pr = bump_problem(100, 1, 3, 9);
  auto ctx = context_for<Poisson>(pr, testing::poisson_draws(testing::signal(pr, 0.5, 0.5), 2));
  ctx.penalties.clear();
  ctx.penalty_ranks.clear();
  ctx.penalty_log_pdets.clear();
  ctx.penalty_groups.clear();
  ctx.null_space_dim = ctx.p();
  auto ev = envelope_eval(ctx, Vector{});
  ASSERT_TRUE(ev.ok());
  EXPECT_EQ(ev.value().hessian.rows(), 0u);
  EXPECT_TRUE(ev.value().grad.empty());
  auto cell = ctx.warm_start.borrow();
  ASSERT_TRUE(cell->has_value());
  EXPECT_EQ((*cell)->dbeta_drho.rows(), ctx.p());
  EXPECT_EQ((*cell)->dbeta_drho.cols(), 0u);
}

TEST(WarmStart, AbsentAndPresentCases) {
  WarmStartCell cell;
  EXPECT_FALSE(warm_start_beta(cell, 2, Vector{0.0, 0.0}).has_value());  // empty cell
  {
    WarmStartCache c;
    c.lambda = {1.0, 0.0};  // the second underflowed: the floor 1e-300 stands in
    c.beta = {1.0, 2.0, 3.0};
    c.dbeta_drho = Matrix(3, 2, 0.0);
    c.dbeta_drho(0, 0) = 1.0;
    c.dbeta_drho(2, 1) = 1e-300;
    *cell.borrow_mut() = c;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // At the cached point (with the underflowed lambda read as 1e-300) the
  // cached beta returns unchanged.
  auto same = warm_start_beta(cell, 2, Vector{0.0, std::log(1e-300)});
  ASSERT_TRUE(same.has_value());
  EXPECT_EQ(*same, (Vector{1.0, 2.0, 3.0}));
  auto step = warm_start_beta(cell, 2, Vector{0.5, 0.0});
  ASSERT_TRUE(step.has_value());
  EXPECT_NEAR((*step)[0], 1.5, 1e-15);
  EXPECT_NEAR((*step)[2], 3.0 + std::log(1e300) * 1e-300, 1e-15);
  // A NaN rho counts as lambda = 1e-300.
  auto nanstep = warm_start_beta(cell, 2, Vector{0.0, nan});
  ASSERT_TRUE(nanstep.has_value());
  EXPECT_EQ(*nanstep, (Vector{1.0, 2.0, 3.0}));
  EXPECT_FALSE(warm_start_beta(cell, 3, Vector{0.0, 0.0, 0.0}).has_value());  // length
  EXPECT_FALSE(warm_start_beta(cell, 2, Vector{0.0}).has_value());
  EXPECT_FALSE(warm_start_beta(cell, 2, Vector{1000.0, 0.0}).has_value());  // exp overflows
  {
    auto c = cell.borrow_mut();
    (*c)->dbeta_drho(1, 0) = 1e308;
  }
  EXPECT_FALSE(warm_start_beta(cell, 2, Vector{5.0, 0.0}).has_value());  // beta0 overflows
  // Overlapping use of the cell is an invariant failure.
  auto reader = cell.borrow();
  EXPECT_THROW(cell.borrow_mut(), InvariantViolation);
}

TEST(Envelope, GaussianScoreDoesNotDependOnTheUnitsOfY) {
  const Problem pr = bump_problem(150, 2, 5, 13);
  // A nearly noise-free signal: in small units its residual variance is far
  // below 1e-8.
  const Vector y = testing::normal_draws(testing::signal(pr, 1.0, 0.0), 0.01, 21);
  std::vector<Vector> grads;
  std::vector<Matrix> hessians;
  std::vector<double> scales;
  const Vector rho{1.0, -2.0};
  for (double c : {1e-6, 1.0, 1e6}) {
    Vector yc = y;
    for (double& v : yc) v *= c;
    auto ctx = context_for<Gaussian>(pr, yc);
    auto ev = envelope_eval(ctx, rho);
    ASSERT_TRUE(ev.ok());
    grads.push_back(ev.value().grad);
    hessians.push_back(ev.value().hessian);
    auto fit = fit_at_rho(ctx, rho);
    scales.push_back(envelope_score(ctx, rho, fit.value()).value().scale / (c * c));
  }
  for (std::size_t k = 1; k < 3; ++k) {
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(grads[k][j], grads[0][j], 1e-7 * max_abs(grads[1]));
      for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NEAR(hessians[k](i, j), hessians[0](i, j), 1e-7 * std::fabs(hessians[1](i, i)));
    }
    EXPECT_NEAR(scales[k], scales[0], 1e-9 * scales[0]);
  }
}

// y measured in units c: with the log link only the intercept moves and
// the deviance scales by c^d (d = 1 quasi-Poisson, -1 inverse Gaussian), so
// the same fit sits at lambda * c^d; there the gradient must not depend on c,
// nor phi / c^d. In the first units the scale lies below 1e-8, where an
// absolute floor would bind. (The units are chosen so that X^T W X stays
// above 1, where the solver's ridge is relative to it.)
template <class F>
void expect_log_link_units_free(const Problem& pr, const Vector& y, double d,
                                std::initializer_list<double> units, const char* name) {
  std::vector<Vector> grads;
  std::vector<double> scales;
  for (double c : units) {
    Vector yc = y;
    for (double& v : yc) v *= c;
    auto ctx = context_for<F>(pr, yc);
    const double shift = d * std::log(c);
    const Vector rho{1.0 + shift, -2.0 + shift};
    auto fit = fit_at_rho(ctx, rho);
    ASSERT_TRUE(fit.ok()) << name;
    auto es = envelope_score(ctx, rho, fit.value());
    ASSERT_TRUE(es.ok()) << name;
    if (grads.empty()) {
      EXPECT_LT(es.value().scale, 1e-8) << name;
    }
    grads.push_back(es.value().grad);
    scales.push_back(es.value().scale / std::pow(c, d));
  }
  for (std::size_t k = 1; k < grads.size(); ++k) {
    for (std::size_t j = 0; j < 2; ++j)
      EXPECT_NEAR(grads[k][j], grads[0][j], 1e-6 * max_abs(grads[0])) << name << " j=" << j;
    EXPECT_NEAR(scales[k], scales[0], 1e-8 * scales[0]) << name;
  }
}

TEST(Envelope, QuasiAndInverseGaussianScoresDoNotDependOnTheUnitsOfY) {
  const Problem pr = bump_problem(150, 2, 5, 13);
  // A log-linear mean in the unpenalized columns with 0.006% noise.
  Vector y = testing::normal_draws(Vector(pr.cov[0].size(), 1.0), 6e-5, 22);
  for (std::size_t i = 0; i < y.size(); ++i)
    y[i] *= std::exp(0.4 + 1.5 * pr.cov[0][i] - pr.cov[1][i]);
  expect_log_link_units_free<QuasiPoisson>(pr, y, 1.0, {1.0, 1e3, 1e6}, "quasipoisson");
  expect_log_link_units_free<InverseGaussian>(pr, y, -1.0, {1.0, 1e-3, 1e-6}, "inverse_gaussian");
}

}  // namespace
}  // namespace quelt

// The quantile (ELF) REML score and the quantile driver.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "derivative_check.hpp"
#include "fit/quantile_driver.hpp"
#include "inner/elf_fit.hpp"
#include "inner_problems.hpp"
#include "score/elf_score.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::Problem;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

EnvelopeScore score_at(const FitContext<Elf>& ctx, const Vector& rho) {
  auto fit = fit_elf_armijo(ctx, rho);
  EXPECT_TRUE(fit.ok() && fit.value().converged);
  auto es = envelope_score(ctx, rho, fit.value());
  EXPECT_TRUE(es.ok());
  return es.value();
}

// The analytic Hessian is the derivative of the gradient: central
// differences of the gradient (tight inner fits), with and without weights,
// with one penalty per block and with two penalties sharing a block.
TEST(ElfScore, HessianMatchesDifferencesOfTheGradient) {
  Problem pr = bump_problem(400, 2, 6, 23);
  const Vector y = testing::normal_draws(testing::signal(pr, 1.0, 0.5), 0.4, 2);
  Problem shared = pr;
  // A second penalty on the first block (its first-difference penalty).
  Matrix s2(shared.design.x.cols(), shared.design.x.cols());
  for (std::size_t b = 2; b + 1 < 8; ++b) {
    s2(b, b) += 1.0, s2(b + 1, b + 1) += 1.0, s2(b, b + 1) -= 1.0, s2(b + 1, b) -= 1.0;
  }
  shared.design.penalties.push_back(s2);
  shared.design.penalty_ranks.push_back(5);
  shared.design.penalty_log_pdets.push_back(0.0);
  shared.design.penalty_groups = {{0, 2}, {1}};
  std::mt19937_64 g(1);
  std::uniform_real_distribution<double> u(0.2, 3.0);
  Vector a(y.size());
  for (double& v : a) v = u(g);
  struct Case {
    const Problem* pr;
    bool weighted;
    double tau;
    Vector rho;
  };
  for (const Case& c : std::vector<Case>{{&pr, false, 0.5, {0.0, 0.0}},
                                         {&pr, true, 0.2, {2.0, -1.0}},
                                         {&pr, false, 0.9, {-2.0, 3.0}},
                                         {&shared, true, 0.7, {1.0, 0.5, -0.5}}}) {
    auto ctx =
        make_fit_context<Elf>(c.pr->design, y, c.weighted ? std::optional<Vector>(a) : std::nullopt,
                              Elf{c.tau, 0.15, 0.15}, {200, 1e-12, 40});
    auto ev = envelope_eval(ctx, c.rho);
    ASSERT_TRUE(ev.ok());
    EXPECT_EQ(ev.value().grad, score_at(ctx, c.rho).grad);
    testing::expect_hessian_matches([&](const Vector& r) { return score_at(ctx, r).grad; },
                                    [&](const Vector& r) {
                                      auto e = envelope_eval(ctx, r);
                                      EXPECT_TRUE(e.ok());
                                      return e.value().hessian;
                                    },
                                    c.rho, {1e-5, 0.0, testing::DiffScale::LargestDifference, 1e-4},
                                    "tau " + std::to_string(c.tau));
  }
}

// ---- the driver ---------------------------------------------------------------

Result<FittedGam> fit_quantile(const Problem& pr, const Vector& y, std::optional<Vector> w,
                               double tau, double sigma = 0.0, double lambda = 0.0) {
  return fit_elf_quantile(pr.design, y, std::move(w), Elf{tau, sigma, lambda});
}

// The score of the original data at the record's rho, from a fresh context
// in the units of y with the given σ and λ (the tolerance on β in units of
// σ): the record's rho, scale and reml_value are those of y, not of the
// units the driver works in.
double score_in_units_of_y(const Problem& pr, const Vector& y, const FittedGam& r, double tau,
                           double sigma, double lambda) {
  auto ctx = make_fit_context<Elf>(pr.design, y, std::nullopt, Elf{tau, sigma, lambda},
                                   {200, 1e-9 * sigma, 40});
  ctx.beta_start = r.beta;
  return score_at(ctx, r.rho).score;
}

// The automatic fit of c·y is c times the fit of y: β, σ and the covariance
// scale by c and c², λ_j by c⁻², the score moves by (W − Mp)·ln c. With σ
// and λ given (in the units of y), reml_value is the score of y itself.
TEST(QuantileDriver, FitOfScaledYIsTheScaledFit) {
  const Problem pr = bump_problem(600, 2, 6, 31);
  const Vector y0 = testing::normal_draws(testing::signal(pr, 1.0, 2.0), 0.5, 5);
  const double df = 600.0 - static_cast<double>(pr.design.null_space_dim);
  for (double tau : {0.5, 0.9}) {
    auto base = fit_quantile(pr, y0, std::nullopt, tau);
    ASSERT_TRUE(base.ok());
    const FittedGam& b = base.value();
    EXPECT_TRUE(b.converged);
    const double sigma = b.scale, lambda = 0.2 * b.scale;
    auto given = fit_quantile(pr, y0, std::nullopt, tau, sigma, lambda);
    ASSERT_TRUE(given.ok());
    const double g_reml = given.value().reml_value;
    EXPECT_NEAR(g_reml, score_in_units_of_y(pr, y0, given.value(), tau, sigma, lambda),
                1e-8 * std::fabs(g_reml));
    for (double c : {1e-6, 1e-3, 1e3, 1e6}) {
      Vector y = y0;
      for (double& v : y) v *= c;
      auto res = fit_quantile(pr, y, std::nullopt, tau);
      ASSERT_TRUE(res.ok());
      const FittedGam& r = res.value();
      EXPECT_TRUE(r.converged) << c;
      EXPECT_NEAR(r.edf_total, b.edf_total, 1e-8 * b.edf_total) << c;
      EXPECT_NEAR(r.scale, c * b.scale, 1e-10 * c * b.scale) << c;
      for (std::size_t j = 0; j < r.rho.size(); ++j)
        EXPECT_NEAR(r.rho[j], b.rho[j] - 2.0 * std::log(c), 1e-8) << c;
      for (std::size_t j = 0; j < r.beta.size(); ++j)
        EXPECT_NEAR(r.beta[j], c * b.beta[j], 1e-8 * c) << c;
      EXPECT_NEAR(r.vcov(1, 1), c * c * b.vcov(1, 1), 1e-8 * c * c * b.vcov(1, 1)) << c;
      EXPECT_NEAR(r.reml_value, b.reml_value + df * std::log(c), 1e-8 * std::fabs(r.reml_value))
          << c;
      auto g = fit_quantile(pr, y, std::nullopt, tau, c * sigma, c * lambda);
      ASSERT_TRUE(g.ok());
      const FittedGam& gr = g.value();
      EXPECT_NEAR(gr.edf_total, given.value().edf_total, 1e-8 * gr.edf_total) << c;
      EXPECT_NEAR(gr.reml_value, score_in_units_of_y(pr, y, gr, tau, c * sigma, c * lambda),
                  1e-8 * std::fabs(gr.reml_value))
          << c;
    }
  }
}

// A given σ is the record's scale, and it leaves λ to its automatic choice,
// which does not depend on σ: σ given as the automatic value refits the
// automatic fit.
TEST(QuantileDriver, GivenSigmaIsTheScaleAndLeavesLambdaAutomatic) {
  const Problem pr = bump_problem(200, 1, 6, 3);
  const Vector y = testing::normal_draws(testing::signal(pr, 1.0, 0.0), 0.5, 8);
  auto automatic = fit_quantile(pr, y, std::nullopt, 0.3);
  ASSERT_TRUE(automatic.ok());
  const FittedGam& a = automatic.value();
  auto given = fit_quantile(pr, y, std::nullopt, 0.3, a.scale, kNaN);
  auto other = fit_quantile(pr, y, std::nullopt, 0.3, 0.07, kNaN);
  ASSERT_TRUE(given.ok() && other.ok());
  EXPECT_EQ(given.value().scale, a.scale);
  EXPECT_EQ(other.value().scale, 0.07);
  for (std::size_t j = 0; j < a.beta.size(); ++j)
    EXPECT_NEAR(given.value().beta[j], a.beta[j], 1e-9);
  EXPECT_TRUE(a.shape_params.empty());
}

// The checks that the Python tests cannot reach (the Python layer checks τ
// and the array lengths itself).
TEST(QuantileDriver, DataChecksComeFirstWithTheirMessages) {
  const Problem pr = bump_problem(5, 1, 3, 1);
  const Vector y{1.0, 2.0, 3.0, 4.0, 5.0};
  struct Bad {
    Vector y;
    std::optional<Vector> w;
    double tau;
    const char* msg;
  };
  for (const Bad& b : std::vector<Bad>{
           {Vector{1.0, 2.0}, std::nullopt, 0.5,
            "x and y must have the same number of rows; got x.nrows()=5, y.len()=2"},
           {y, Vector{1.0}, 0.5,
            "prior_weights length must match x rows; got weights.len()=1, x.nrows()=5"},
           {y, std::nullopt, kNaN,
            "Quantile (ELF) tau must be in the open interval (0, 1) — 0/1 are degenerate (point "
            "mass at min/max); got tau=NaN"},
           {y, Vector{1.0, 1.0, -1.0, 1.0, 1.0}, 0.5,
            "prior_weights must be finite and non-negative; got weight=-1 at row 2"},
       }) {
    auto r = fit_elf_quantile(pr.design, b.y, b.w, Elf{b.tau, 0.0, 0.0});
    ASSERT_FALSE(r.ok()) << b.msg;
    EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(r.error().message, b.msg);
  }
}

}  // namespace
}  // namespace quelt

// The extended log-F loss and its penalized Newton fit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/linalg.hpp"
#include "derivative_check.hpp"
#include "family/elf.hpp"
#include "inner/elf_fit.hpp"
#include "inner_problems.hpp"

namespace quelt {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ElfCase {
  double tau, sigma, lambda;
};
const std::vector<ElfCase> kLossCases = {
    {0.5, 1.0, 1.0}, {0.1, 0.3, 0.05}, {0.9, 2.0, 0.5}, {0.02, 0.01, 0.003}, {0.75, 5.0, 20.0}};

// ∂(d/2)/∂η = −g, ∂(−g)/∂η = h and ∂h/∂η at residuals from −30λ to 30λ.
TEST(ElfLoss, DerivativesInEtaMatchCentralDifferences) {
  for (const ElfCase& c : kLossCases) {
    auto p_at = [&](double y, double eta) { return elf_logistic((y - eta) / c.lambda); };
    for (double k : {-30.0, -3.0, -0.5, 0.0, 0.7, 4.0, 30.0}) {
      const double y = k * c.lambda;
      const std::string label = "tau " + std::to_string(c.tau) + " r/lambda " + std::to_string(k);
      auto tol = [&](double scale) {
        return testing::DiffTolerance{0.0, 1e-6 * scale, testing::DiffScale::None, 1e-4 * c.lambda};
      };
      testing::expect_derivative_matches(
          [&](double e) { return 0.5 * elf_unit_deviance(y - e, c.tau, c.sigma, c.lambda); },
          [&](double e) { return -elf_gradient(p_at(y, e), c.tau, c.sigma); }, 0.0,
          tol(1.0 / c.sigma), label + " g");
      testing::expect_derivative_matches(
          [&](double e) { return -elf_gradient(p_at(y, e), c.tau, c.sigma); },
          [&](double e) { return elf_curvature(p_at(y, e), c.sigma, c.lambda); }, 0.0,
          tol(1.0 / (c.sigma * c.lambda)), label + " h");
      testing::expect_derivative_matches(
          [&](double e) { return elf_curvature(p_at(y, e), c.sigma, c.lambda); },
          [&](double e) { return elf_curvature_deta(p_at(y, e), c.sigma, c.lambda); }, 0.0,
          tol(1.0 / (c.sigma * c.lambda * c.lambda)), label + " dh");
    }
  }
}

// The loss measured from an origin η⁰ is d(y − η) − d(y − η⁰) on either side
// of the curve, and the origin's loss is d(y − η⁰); for a response so far
// away that d(y − η) − d(y − η⁰) rounds to 0, it is still the exact change
// −2t(η − η⁰)/σ of the linear tail (t = τ above the curve, τ − 1 below).
TEST(ElfLoss, ChangeFromAnOriginIsTheDifferenceOfTheLosses) {
  for (const ElfCase& c : kLossCases) {
    const ElfLoss f(c.tau, c.sigma, c.lambda);
    auto d = [&](double r) { return elf_unit_deviance(r, c.tau, c.sigma, c.lambda); };
    double p;
    for (double y : {-7.0, -0.3, 0.0, 2.0, 40.0})
      for (double eta0 : {0.0, 1.5})
        for (double eta : {-2.0, 0.1, 3.0}) {
          const ElfRowOrigin o = elf_row_origin(f, 3, y * c.lambda, eta0 * c.lambda);
          const double d1 = d((y - eta) * c.lambda), d0 = d((y - eta0) * c.lambda);
          EXPECT_NEAR(elf_loss_change(f, o, y * c.lambda, eta * c.lambda, p), d1 - d0,
                      1e-12 * (1.0 + d1 + d0))
              << c.tau << " " << y << " " << eta0 << " " << eta;
          EXPECT_NEAR(elf_origin_loss(f, o, y * c.lambda), d0, 1e-12 * (1.0 + d0));
        }
    for (double y : {-1e200, 1e200}) {
      const double t = y > 0.0 ? c.tau : c.tau - 1.0, step = 2.0 * (-1.3 - 0.4) / c.sigma;
      EXPECT_NEAR(elf_loss_change(f, elf_row_origin(f, 0, y, 0.4), y, -1.3, p), -t * step,
                  1e-14 * std::fabs(step))
          << c.tau << " " << y;
    }
  }
}

// exp(κ − d(r)/2) integrates to 1 over r (composite Simpson rule over a
// range that leaves tails below e^-40).
TEST(ElfLoss, NormaliserMakesTheDensityIntegrateToOne) {
  for (const ElfCase& c : kLossCases) {
    const double kappa = elf_log_normaliser(c.tau, c.sigma, c.lambda);
    const double lo = -45.0 * c.sigma / (1.0 - c.tau) - 45.0 * c.lambda;
    const double hi = 45.0 * c.sigma / c.tau + 45.0 * c.lambda;
    const std::size_t n = 2000000;
    const double h = (hi - lo) / static_cast<double>(n);
    double acc = 0.0;
    for (std::size_t i = 0; i <= n; ++i) {
      const double r = lo + h * static_cast<double>(i);
      const double f = std::exp(kappa - 0.5 * elf_unit_deviance(r, c.tau, c.sigma, c.lambda));
      acc += f * (i == 0 || i == n ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0));
    }
    EXPECT_NEAR(acc * h / 3.0, 1.0, 1e-8) << c.tau << " " << c.sigma << " " << c.lambda;
  }
}

// ---- the inner fit ------------------------------------------------------------

FitContext<Elf> intercept_context(const Vector& y, std::optional<Vector> w, double tau,
                                  double sigma, double lambda, double start,
                                  InnerOptions opt = {50, 1e-7, 20}) {
  ModelDesign d;
  d.x = Matrix(y.size(), 1, 1.0);
  d.null_space_dim = 1;
  auto ctx = make_fit_context<Elf>(std::move(d), y, std::move(w), Elf{tau, sigma, lambda}, opt);
  ctx.beta_start = Vector{start};
  return ctx;
}

// The minimiser of sum_i a_i d_i(y_i - b) by bisection on its monotone
// estimating equation sum_i a_i (logistic((y_i - b)/lambda) - (1 - tau)) = 0.
double exact_intercept(const Vector& y, const Vector& a, double tau, double lambda) {
  double lo = *std::min_element(y.begin(), y.end()) - 60.0 * lambda;
  double hi = *std::max_element(y.begin(), y.end()) + 60.0 * lambda;
  for (int it = 0; it < 200; ++it) {
    const double b = 0.5 * (lo + hi);
    double s = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      const double u = (y[i] - b) / lambda;
      const double p = u >= 0 ? 1.0 / (1.0 + std::exp(-u)) : std::exp(u) / (1.0 + std::exp(u));
      s += a[i] * (p - (1.0 - tau));
    }
    (s > 0.0 ? lo : hi) = b;
  }
  return 0.5 * (lo + hi);
}

// Hard intercept-only fits: a loss much narrower than the spread of y, so
// that Newton steps are long and most rows carry no curvature. A fit that
// reports convergence has found the minimiser.
TEST(ElfFit, ReportedConvergenceMeansTheExactWeightedQuantile) {
  std::mt19937_64 g(2024);
  std::normal_distribution<double> normal;
  std::exponential_distribution<double> expo;
  std::student_t_distribution<double> t2(2.0);
  std::uniform_int_distribution<int> wd(0, 3);
  int fits = 0, converged = 0;
  for (int dist = 0; dist < 3; ++dist)
    for (bool weighted : {false, true})
      for (double s : {0.01, 0.003})
        for (double tau : {0.05, 0.25, 0.5, 0.75, 0.95}) {
          Vector y(500), a(500, 1.0);
          for (double& v : y) v = dist == 0 ? normal(g) : dist == 1 ? expo(g) : t2(g);
          if (weighted)
            for (double& v : a) v = wd(g);
          double mean = 0.0, sw = 0.0;
          for (std::size_t i = 0; i < y.size(); ++i) mean += a[i] * y[i], sw += a[i];
          auto ctx = intercept_context(y, weighted ? std::optional<Vector>(a) : std::nullopt, tau,
                                       s, s, mean / sw);
          auto fit = fit_elf_armijo(ctx, Vector{});
          ASSERT_TRUE(fit.ok());
          ++fits;
          if (!fit.value().converged) continue;
          ++converged;
          EXPECT_NEAR(fit.value().beta[0], exact_intercept(y, a, tau, s), 1e-4)
              << "dist " << dist << " weighted " << weighted << " s " << s << " tau " << tau;
        }
  EXPECT_GE(converged, fits * 9 / 10);
}

// Far from the origin a ridged solve for the coefficients themselves would
// stop short of the minimiser; the increment form does not.
TEST(ElfFit, LargeOffsetInterceptIsExact) {
  std::mt19937_64 g(5);
  std::normal_distribution<double> normal;
  Vector y(1000), a(1000, 1.0);
  for (double& v : y) v = 1e5 + normal(g);
  const double exact = exact_intercept(y, a, 0.5, 0.09);
  for (double start : {0.0, 1e5}) {
    auto ctx = intercept_context(y, std::nullopt, 0.5, 0.09, 0.09, start);
    auto fit = fit_elf_armijo(ctx, Vector{});
    ASSERT_TRUE(fit.ok());
    EXPECT_TRUE(fit.value().converged) << start;
    EXPECT_NEAR(fit.value().beta[0], exact, 1e-6) << start;
  }
}

// A response far beyond the others, its loss measured from its value at the
// start, pulls the intercept as any row beyond the curve does: the fit is the
// exact τ-quantile of the data with that row 50 (far beyond λ) from the
// bulk, whose logistic p is the same 0 or 1, however far it lies; and the
// deviance, the other rows' loss plus the row's change from its origin, is
// the same as well, where the row's own loss would swamp it.
TEST(ElfFit, FarRowMeasuredFromItsOriginGivesTheExactQuantile) {
  std::mt19937_64 g(13);
  std::normal_distribution<double> normal;
  Vector y(301), a(301, 1.0);
  for (double& v : y) v = normal(g);
  for (double tau : {0.5, 0.9})
    for (double far : {-1e200, -1e6, 1e6, 1e200}) {
      Vector near = y, wild = y;
      near[17] = far > 0.0 ? 50.0 : -50.0;
      wild[17] = far;
      const double exact = exact_intercept(near, a, tau, 0.05);
      auto fit_from_origin = [&](const Vector& v) {
        auto ctx = intercept_context(v, std::nullopt, tau, 0.1, 0.05, 0.0);
        ctx.far_rows = {elf_row_origin(ElfLoss(tau, 0.1, 0.05), 17, v[17], 0.0)};
        return fit_elf_armijo(ctx, Vector{});
      };
      auto fit = fit_from_origin(wild);
      auto ref = fit_from_origin(near);
      ASSERT_TRUE(fit.ok() && ref.ok());
      EXPECT_TRUE(fit.value().converged) << tau << " " << far;
      EXPECT_NEAR(fit.value().beta[0], exact, 1e-6) << tau << " " << far;
      EXPECT_NEAR(fit.value().deviance, ref.value().deviance, 1e-9 * ref.value().deviance)
          << tau << " " << far;
    }
}

// A fit that cannot take its step is converged only when that step was
// already negligible.
TEST(ElfFit, NoDescentIsConvergedOnlyAtTheMinimiser) {
  std::mt19937_64 g(8);
  std::normal_distribution<double> normal;
  Vector y(300), a(300, 1.0);
  for (double& v : y) v = normal(g);
  const double exact = exact_intercept(y, a, 0.3, 0.2);
  for (double start : {2.0, exact}) {
    auto ctx = intercept_context(y, std::nullopt, 0.3, 0.2, 0.2, start, {50, 1e-7, 0});
    auto fit = fit_elf_armijo(ctx, Vector{}).value();
    EXPECT_EQ(fit.beta[0], start);
    EXPECT_EQ(fit.iterations, 1u);
    EXPECT_EQ(fit.converged, start == exact) << start;
  }
}

TEST(ElfFit, ParameterMessages) {
  const Vector y{1.0, 2.0, 3.0};
  struct Bad {
    double tau, sigma, lambda;
    const char* msg;
  };
  for (const Bad& b : std::vector<Bad>{
           {0.0, 1.0, 1.0, "ELF τ must be in (0, 1); got 0"},
           {1.0, 1.0, 1.0, "ELF τ must be in (0, 1); got 1"},
           {kNaN, 1.0, 1.0, "ELF τ must be in (0, 1); got NaN"},
           {0.5, 0.0, 1.0, "ELF σ and λ must be > 0; got σ=0 λ=1"},
           {0.5, 0.25, -1.0, "ELF σ and λ must be > 0; got σ=0.25 λ=-1"},
           {0.5, kNaN, 1.0, "ELF σ and λ must be > 0; got σ=NaN λ=1"},
       }) {
    auto ctx = intercept_context(y, std::nullopt, b.tau, b.sigma, b.lambda, 0.0);
    auto fit = fit_elf_armijo(ctx, Vector{});
    ASSERT_FALSE(fit.ok());
    EXPECT_EQ(fit.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(fit.error().message, b.msg);
  }
}

}  // namespace
}  // namespace quelt

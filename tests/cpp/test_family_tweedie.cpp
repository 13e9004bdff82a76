#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <vector>

#include "derivative_check.hpp"
#include "family/families.hpp"
#include "family/tweedie.hpp"

namespace quelt {
namespace {

using V = std::vector<double>;
using testing::DiffScale;
using testing::DiffTolerance;
using testing::expect_gradient_matches;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Tweedie, SaturatedLogLikAtKnownValues) {
  EXPECT_NEAR(tweedie_saturated_loglik(1.5, 1.0, 1.0), -1.0286152203, 1e-10);
  EXPECT_NEAR(tweedie_saturated_loglik(1.5, 1.0, 2.0), -1.5121850385, 1e-10);
  for (double y : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()})
    EXPECT_EQ(tweedie_saturated_loglik(1.5, 1.0, y), 0.0);
  // An infinite y, and a y whose peak index saturates, end at once.
  EXPECT_FALSE(std::isfinite(tweedie_saturated_loglik(1.5, 1.0, kInf)));
  EXPECT_TRUE(std::isfinite(tweedie_saturated_loglik(1.5, 1e-12, 1e300)));
}

// P(Y = 0) + ∫₀^∞ exp(ls(y) − d(y, μ)/(2φ)) dy = 1. The substitution y = u⁴
// makes the integrand smooth at 0 for every 1 < p < 2 (f ~ y^((2−p)/(p−1) − 1)
// there); composite Simpson on u.
TEST(Tweedie, DensityIntegratesToOne) {
  struct Case {
    double p, phi, mu;
  };
  for (const Case c : {Case{1.5, 1.0, 1.0}, Case{1.2, 0.5, 3.0}, Case{1.8, 2.0, 0.7}}) {
    SCOPED_TRACE(::testing::Message() << "p=" << c.p << " phi=" << c.phi << " mu=" << c.mu);
    const Tweedie fam = tweedie_log(c.p, c.phi);
    auto density = [&](double y) {
      return std::exp(tweedie_saturated_loglik(c.p, c.phi, y) -
                      fam.deviance(V{y}, V{c.mu}, {}) / (2.0 * c.phi));
    };
    const double y_max = 400.0;  // the density there is below 1e-30 in each case
    EXPECT_LT(density(y_max), 1e-30);
    const int k = 20000;
    const double u_max = std::pow(y_max, 0.25), h = u_max / k;
    // At u = 0 the integrand takes its limit (nonzero for p > 1.5).
    auto g = [&](double u) {
      u = std::fmax(u, 1e-9);
      return density(u * u * u * u) * 4.0 * u * u * u;
    };
    double s = g(0.0) + g(u_max);
    for (int i = 1; i < k; ++i) s += (i % 2 ? 4.0 : 2.0) * g(i * h);
    const double p0 = std::exp(-std::pow(c.mu, 2.0 - c.p) / ((2.0 - c.p) * c.phi));
    EXPECT_NEAR(p0 + s * h / 3.0, 1.0, 1e-6);
  }
}

// ls(y) by the series summed in long double over every term down to 700
// below the peak (beyond which exp underflows in double), with lgammal.
long double full_window_loglik(long double p, long double phi, long double y) {
  const long double al = (2 - p) / (1 - p);
  const long double ka = al * std::log(p - 1) + std::log(phi) / (1 - p) - std::log(2 - p);
  auto t = [&](long double j) {
    return ka * j - std::lgamma(j + 1) - std::lgamma(-j * al) - al * j * std::log(y);
  };
  const long double j0 = std::fmax(1.0L, std::floor(std::pow(y, 2 - p) / ((2 - p) * phi)));
  long double s = 1;
  for (long double j = j0 + 1, d = 0; d > -700; ++j) s += std::exp(d = t(j) - t(j0));
  for (long double j = j0 - 1, d = 0; d > -700 && j >= 1; --j) s += std::exp(d = t(j) - t(j0));
  const long double a = std::pow(y, 2 - p) / ((1 - p) * (2 - p) * phi);
  return a - std::log(y) + t(j0) + std::log(s);
}

// Peak RSS growth in MiB of a forked child that runs `work` (−1 on failure).
template <class F>
long child_peak_growth_mib(F work) {
  const pid_t pid = fork();
  if (pid == 0) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    work();
    getrusage(RUSAGE_SELF, &after);
    _exit(static_cast<int>(std::min<long>((after.ru_maxrss - before.ru_maxrss) / 1024, 250)));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Large y with a small dispersion puts the series peak at j₀ = 5.3e8 (p =
// 1.05) and 2e6 (p = 1.5), with windows of 123,000 and 24,000 terms. The
// values equal the full-window sum to 1e-8 relative, plus the rounding floor
// of the cancellation between A and ln W (each about 1e10 at p = 1.05); a cap
// on the number of terms would leave them low by 0.55 and 0.17. Memory stays
// small.
TEST(Tweedie, LargeSeriesAreFullAndSmall) {
  const double y = 1e6, phi = 1e-3;
  for (double p : {1.05, 1.5}) {
    SCOPED_TRACE(p);
    const long double ref = full_window_loglik(p, phi, y);
    const double a = std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p) * phi);
    const double tol = 1e-8 * std::fabs(static_cast<double>(ref)) + 8 * kEps * std::fabs(a);
    EXPECT_NEAR(tweedie_saturated_loglik(p, phi, y), static_cast<double>(ref), tol);
    EXPECT_NEAR(tweedie_saturated_loglik_sum(p, phi, V{y, 3.0}, {}),
                static_cast<double>(ref + full_window_loglik(p, phi, 3.0)), tol);

    const long growth = child_peak_growth_mib([&] {
      volatile double sink = tweedie_saturated_loglik_sum(p, phi, V{y, 3.0, 0.0}, {});
      sink = analytic_shape_score_gradient(tweedie_log(p, phi), true, V{y, 3.0, 0.0},
                                           V{y, 2.0, 1.0}, {}, 1.0, 2.0)[1];
      (void)sink;
    });
    EXPECT_GE(growth, 0);
    EXPECT_LT(growth, 50);
  }
}

// The frozen-μ score V(log φ, p_t) = Dp/(2φ) − Σ w·ls − (n − m)/2·ln φ, with
// Dp = Σ w·d(y, μ; p) + pen, against its analytic gradient (central
// differences, relative 1e-6). Weights are frequency weights throughout.
TEST(Tweedie, ShapeGradientMatchesDifferences) {
  struct Case {
    const char* what;
    double p, phi;
    V y, mu, w;
  };
  const V y{0.0, 0.3, 1.0, 2.5, 0.0, 7.0, 12.0, 0.05};
  const V mu{0.4, 0.5, 1.3, 2.0, 1.1, 5.5, 14.0, 0.2};
  const V w{1.0, 2.0, 0.5, 3.0, 0.0, 1.5, 1.0, 2.5};
  const Case cases[] = {
      {"p 1.5 unit weights", 1.5, 1.0, y, mu, {}},
      {"p 1.5 weights", 1.5, 1.0, y, mu, w},
      {"p 1.1 small phi", 1.1, 0.3, y, mu, w},
      {"p 1.9 large phi", 1.9, 4.0, y, mu, w},
      {"p 1.3 phi 0.01", 1.3, 0.01, y, mu, w},
      // Peak index 2e5, past the table of recurring terms.
      {"large response", 1.5, 0.01, V{1e6, 3.0, 0.0}, V{1.1e6, 2.5, 0.5}, V{2.0, 1.0, 1.0}},
  };
  const double pen = 3.7, m = 5.0;
  auto p_of = [](double t) { return 1.0 + 1.0 / (1.0 + std::exp(-t)); };
  for (const auto& c : cases) {
    const double n = static_cast<double>(c.y.size());
    // x = (log φ, p_t).
    auto dp_at = [&](double p) { return tweedie_log(p, 1.0).deviance(c.y, c.mu, c.w) + pen; };
    auto score = [&](const Vector& x) {
      const double phi = std::exp(x[0]), p = p_of(x[1]);
      double ls = 0.0;
      for (std::size_t i = 0; i < c.y.size(); ++i)
        ls += (c.w.empty() ? 1.0 : c.w[i]) * tweedie_saturated_loglik(p, phi, c.y[i]);
      return dp_at(p) / (2 * phi) - ls - 0.5 * (n - m) * x[0];
    };
    auto gradient = [&](const Vector& x) {
      const double p = p_of(x[1]);
      return analytic_shape_score_gradient(tweedie_log(p, std::exp(x[0])), true, c.y, c.mu, c.w,
                                           dp_at(p), m);
    };
    const Vector x{std::log(c.phi), -std::log(1.0 / (c.p - 1.0) - 1.0)};
    expect_gradient_matches(score, gradient, x,
                            DiffTolerance{1e-6, 1e-6, DiffScale::EntryDifference, 1e-5}, c.what);
    // With p fixed only the log φ entry is returned, and it is the same.
    const Tweedie fam = tweedie_log(c.p, c.phi);
    const Vector g1 = analytic_shape_score_gradient(fam, false, c.y, c.mu, c.w, dp_at(c.p), m);
    ASSERT_EQ(g1.size(), 1u);
    EXPECT_EQ(g1[0], analytic_shape_score_gradient(fam, true, c.y, c.mu, c.w, dp_at(c.p), m)[0])
        << c.what;
  }
}

}  // namespace
}  // namespace quelt

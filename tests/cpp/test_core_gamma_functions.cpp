#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>

#include "core/gamma_functions.hpp"
#include "derivative_check.hpp"

namespace quelt {
namespace {

constexpr double kEuler = 0.5772156649015329;  // Euler–Mascheroni γ
constexpr double kPi = std::numbers::pi;
using testing::DiffScale;
using testing::expect_derivative_matches;

TEST(LnGamma, MatchesLgammaAndReflection) {
  for (double x = 0.05; x < 170.0; x *= 1.07) {
    const double ref = std::lgamma(x);
    EXPECT_NEAR(ln_gamma(x), ref, 1e-13 * std::fmax(1.0, std::fabs(ref))) << x;
  }
  for (double x : {-1.5, -3.5, -3.25}) EXPECT_NEAR(ln_gamma(x), std::lgamma(x), 1e-12) << x;
  EXPECT_NEAR(ln_gamma(1.0), 0.0, 1e-14);
  EXPECT_NEAR(ln_gamma(2.0), 0.0, 1e-14);
  EXPECT_NEAR(ln_gamma(0.5), 0.5 * std::log(kPi), 1e-14);
  for (double x : {-0.5, -2.5}) EXPECT_TRUE(std::isnan(ln_gamma(x))) << x;  // Γ(x) < 0
  // Large arguments, as the Tweedie series reaches them: Stirling's series
  // (x − ½) ln x − x + ln √(2π) + 1/(12x) is exact to rounding there.
  for (double x : {1e6, 5e8, 1e12}) {
    const double stirling = (x - 0.5) * std::log(x) - x + 0.5 * std::log(2 * kPi) + 1 / (12 * x);
    EXPECT_NEAR(ln_gamma(x), stirling, 4e-15 * stirling) << x;
  }
  EXPECT_TRUE(std::isnan(ln_gamma(std::numeric_limits<double>::quiet_NaN())));
}

// Known values of ψ and ψ′ over small, ordinary, large and negative
// arguments; NaN stays NaN.
TEST(Digamma, KnownValues) {
  const double ln2 = std::log(2.0), z2 = kPi * kPi / 6;  // ζ(2)
  const double cases[][3] = {
      {digamma(1.0), -kEuler, 2e-10},
      {digamma(0.5), -kEuler - 2 * ln2, 2e-10},
      {digamma(-0.5), 2 - kEuler - 2 * ln2, 2e-10},
      {digamma(1e-8), -1e8 - kEuler + z2 * 1e-8, 1e-7},  // −1/x − γ + ζ(2)x
      {digamma(1e8), std::log(1e8) - 0.5e-8, 1e-15},     // ln x − 1/(2x)
      {trigamma(1.0), z2, 2e-10},
      {trigamma(-0.5), 3 * z2 + 4, 1e-9},
      {trigamma(1e-8), 1e16 + z2, 1e6},        // 1/x² + ζ(2)
      {trigamma(1e8), 1e-8 + 0.5e-16, 1e-23},  // 1/x + 1/(2x²)
  };
  for (const auto& c : cases) EXPECT_NEAR(c[0], c[1], c[2]) << &c - cases;
  EXPECT_TRUE(std::isnan(digamma(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_TRUE(std::isnan(trigamma(std::numeric_limits<double>::quiet_NaN())));
}

// ψ(x + 1) = ψ(x) + 1/x and ψ′(x + 1) = ψ′(x) − 1/x², across the switch
// from recurrence to series at 6; ψ and ψ′ are the derivatives of ln Γ and ψ.
TEST(Digamma, RecurrenceAndDerivatives) {
  for (double x : {1e-3, 0.3, 2.2, 5.5, 5.999, 6.0, 7.25, 40.0, 3e4, -0.7, -3.3}) {
    EXPECT_NEAR(digamma(x + 1), digamma(x) + 1 / x, 3e-10 * std::fmax(1.0, 1 / std::fabs(x))) << x;
    EXPECT_NEAR(trigamma(x + 1), trigamma(x) - 1 / (x * x), 3e-9 * std::fmax(1.0, 1 / (x * x)))
        << x;
    if (x < 0.1) continue;
    const double h = 1e-5 * std::fmax(1.0, x);
    expect_derivative_matches(ln_gamma, digamma, x, {1e-7, 1e-7, DiffScale::EntryDifference, h},
                              "digamma");
    expect_derivative_matches(digamma, trigamma, x, {1e-5, 0.0, DiffScale::EntryDifference, h},
                              "trigamma");
  }
  // Negative arguments take bounded work: the plain recurrence would step |x|
  // times, and never end where x + 1 rounds to x.
  const auto t0 = std::chrono::steady_clock::now();
  for (double x : {-1e9 - 0.5, -1e300}) (void)(digamma(x) + trigamma(x));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

// The one-pass pair is ψ and ψ′ to rounding, on both sides of the switch to
// the series and through the reflection.
TEST(Digamma, PairMatchesTheSeparateFunctions) {
  for (double x : {1e-150, 1e-3, 0.3, 1.0, 5.999, 6.0, 7.25, 3e4, 1e200, -0.7, -3.3}) {
    const DigammaTrigamma d = digamma_trigamma(x);
    EXPECT_NEAR(d.psi, digamma(x), 1e-14 * std::fmax(1.0, std::fabs(digamma(x)))) << x;
    EXPECT_NEAR(d.psi1, trigamma(x), 1e-14 * std::fmax(1.0, std::fabs(trigamma(x)))) << x;
  }
}

}  // namespace
}  // namespace quelt

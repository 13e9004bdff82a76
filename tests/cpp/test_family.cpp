#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/error.hpp"
#include "family/families.hpp"
#include "family/link.hpp"

namespace quelt {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
using V = std::vector<double>;

// ---- compile-time facts -----------------------------------------------------

// The two Gamma links are distinct types, and a link's enumerator is its
// stored index in a fitted model.
static_assert(!std::is_same_v<GammaInverse, GammaLog>);
static_assert(static_cast<std::uint32_t>(Link::Identity) == 0 &&
              static_cast<std::uint32_t>(Link::Log) == 1 &&
              static_cast<std::uint32_t>(Link::Logit) == 2 &&
              static_cast<std::uint32_t>(Link::Inverse) == 3);

// The display names are the exact words of the data-check messages.
TEST(Family, DisplayNames) {
  auto name = [](const char* s) { return s == nullptr ? std::string("<none>") : std::string(s); };
  EXPECT_EQ(name(Gaussian::display_name), "<none>");
  EXPECT_EQ(name(TDist::display_name), "<none>");
  EXPECT_EQ(name(Ocat::display_name), "<none>");
  EXPECT_EQ(name(Bernoulli::display_name), "Bernoulli");
  EXPECT_EQ(name(QuasiBinomial::display_name), "QuasiBinomial");
  EXPECT_EQ(name(Poisson::display_name), "Poisson");
  EXPECT_EQ(name(QuasiPoisson::display_name), "QuasiPoisson");
  EXPECT_EQ(name(GammaInverse::display_name), "Gamma");
  EXPECT_EQ(name(GammaLog::display_name), "Gamma");
  EXPECT_EQ(name(InverseGaussian::display_name), "InverseGaussian");
  EXPECT_EQ(name(NegBin::display_name), "NegBin");
  EXPECT_EQ(name(Tweedie::display_name), "Tweedie");
  EXPECT_EQ(name(Elf::display_name), "ELF");
}

// ---- links ---------------------------------------------------------------------

TEST(Link, InverseLinkValues) {
  struct Case {
    Link link;
    double eta;
    double mu;
  };
  const Case cases[] = {
      {Link::Identity, -3.25, -3.25},
      {Link::Identity, kInf, kInf},
      {Link::Log, 0.0, 1.0},
      {Link::Log, 1.0, 2.718281828459045},
      {Link::Log, 800.0, kInf},  // no clamp
      {Link::Log, -800.0, 0.0},
      {Link::Logit, 0.0, 0.5},
      {Link::Logit, 2.0, 0.8807970779778823},
      {Link::Logit, -2.0, 0.11920292202211755},
      {Link::Logit, 800.0, 1.0},
      {Link::Logit, -800.0, 0.0},
      {Link::Logit, kInf, 1.0},
      {Link::Logit, -kInf, 0.0},
      {Link::Inverse, 0.0, 1e300},
      {Link::Inverse, -0.0, 1e300},
      {Link::Inverse, -2.0, -0.5},
      {Link::Inverse, 4.0, 0.25},
      {Link::Inverse, 1e-310, 1e300},
      {Link::Inverse, -1e-310, -1e300},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "link " << static_cast<int>(c.link) << " eta " << c.eta);
    const double mu = inverse_link(c.link, c.eta);
    EXPECT_FALSE(std::isnan(mu));
    if (std::isinf(c.mu)) {
      EXPECT_EQ(mu, c.mu);
    } else {
      EXPECT_NEAR(mu, c.mu, std::fabs(c.mu) * 1e-15);
    }
  }
}

TEST(Link, NanEtaGivesNanUnderEveryLink) {
  for (Link l : {Link::Identity, Link::Log, Link::Logit, Link::Inverse}) {
    EXPECT_TRUE(std::isnan(inverse_link(l, kNaN))) << static_cast<int>(l);
  }
  EXPECT_TRUE(std::isnan(inverse_link<Link::Inverse>(kNaN)));
  EXPECT_TRUE(std::isnan(inverse_link<Link::Logit>(-kNaN)));
}

TEST(Link, LogisticMeanStaysInTheUnitInterval) {
  for (double eta : {-1e308, -745.0, -36.5, -1e-300, -0.0, 1e-320, 37.0, 709.0, 1e308}) {
    const double m = inverse_link<Link::Logit>(eta);
    EXPECT_TRUE(m >= 0.0 && m <= 1.0) << eta;
  }
}

TEST(Link, UnknownLinkIndexIsAnInvariantViolation) {
  EXPECT_THROW(inverse_link(static_cast<Link>(4), 1.0), InvariantViolation);
}

// ---- deviances -------------------------------------------------------------------

// Each unit deviance equals 2 [l(y; mu = y) - l(y; mu)] for an independently
// written log-density l. Checked on seeded random (y, mu) pairs, then summed
// with weights.
struct IdentityCase {
  const char* name;
  std::function<double(double, double)> loglik;  // l(y; mu), up to terms free of mu
  std::function<double(V, V, V)> deviance;
  double y_lo, y_hi;  // response range
  bool integer_y;
};

double nb_loglik(double y, double mu, double th) {
  return std::lgamma(y + th) - std::lgamma(th) - std::lgamma(y + 1.0) +
         th * std::log(th / (th + mu)) + y * std::log(mu / (th + mu));
}

TEST(Deviance, EqualsTwiceTheLogLikelihoodGap) {
  const double theta = 1.7, nu = 4.5, sigma2 = 0.8;
  const IdentityCase cases[] = {
      {"binomial",
       [](double y, double mu) { return y * std::log(mu) + (1 - y) * std::log(1 - mu); },
       [](V y, V mu, V w) { return Bernoulli{}.deviance(y, mu, w); }, 0.05, 0.95, false},
      {"poisson", [](double y, double mu) { return y * std::log(mu) - mu - std::lgamma(y + 1); },
       [](V y, V mu, V w) { return QuasiPoisson{}.deviance(y, mu, w); }, 1, 12, true},
      {"negbin", [&](double y, double mu) { return nb_loglik(y, mu, theta); },
       [&](V y, V mu, V w) { return negbin_log(theta).deviance(y, mu, w); }, 1, 12, true},
      {"gamma",  // shape 1
       [](double y, double mu) { return std::log(y / mu) - y / mu - std::log(y); },
       [](V y, V mu, V w) { return GammaLog{}.deviance(y, mu, w); }, 0.1, 6, false},
      {"inverse_gaussian",  // lambda 1, which makes the deviance free of a factor 2
       [](double y, double mu) {
         return 0.5 * std::log(1 / (2 * std::numbers::pi * y * y * y)) -
                (y - mu) * (y - mu) / (2 * mu * mu * y);
       },
       [](V y, V mu, V w) { return InverseGaussian{}.deviance(y, mu, w); }, 0.1, 6, false},
      {"tdist",  // scaled t, also free of a factor 2
       [&](double y, double mu) {
         return -0.5 * (nu + 1) * std::log(1 + (y - mu) * (y - mu) / (nu * sigma2));
       },
       [&](V y, V mu, V w) { return tdist_identity(nu, sigma2).deviance(y, mu, w); }, -5, 5, false},
  };
  std::mt19937_64 rng(20260);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uniform_real_distribution<double> uy(c.y_lo, c.y_hi), uw(0.0, 3.0);
    std::uniform_real_distribution<double> ratio(0.3, 2.5);
    V y(40), mu(40), w(40);
    double expected = 0.0, scale = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      y[i] = c.integer_y ? std::round(uy(rng)) : uy(rng);
      mu[i] = y[i] * ratio(rng);
      if (std::string(c.name) == "binomial") mu[i] = std::fmin(mu[i], 0.97);
      if (std::string(c.name) == "tdist") mu[i] = y[i] + (ratio(rng) - 1.4) * 3;
      w[i] = uw(rng);
      const double lsat = c.loglik(y[i], y[i]), lfit = c.loglik(y[i], mu[i]);
      const double d = c.deviance({y[i]}, {mu[i]}, {});
      EXPECT_NEAR(d, 2 * (lsat - lfit), 1e-12 * (1 + std::fabs(lsat) + std::fabs(lfit)));
      EXPECT_GE(d, -1e-14);
      expected += w[i] * 2 * (lsat - lfit);
      scale += w[i] * (1 + std::fabs(lsat) + std::fabs(lfit));
    }
    EXPECT_NEAR(c.deviance(y, mu, w), expected, 1e-12 * scale);
    // Unweighted (empty w) equals unit weights.
    EXPECT_EQ(c.deviance(y, mu, {}), c.deviance(y, mu, V(y.size(), 1.0)));
  }
}

// The variance function a family declares is the one its deviance implies:
// ∂²d(y, μ)/∂μ² = 2/V(μ) at μ = y (the inverse Gaussian deviance, free of a
// factor 2 at unit scale, has the same curvature). Second central differences
// with h = 1e-4·y, good to about 1e-7 relative.
TEST(Deviance, CurvatureAtTheResponseIsTwiceTheInverseVariance) {
  struct Case {
    const char* name;
    std::function<double(double, double)> unit;  // d(y, μ)
    std::function<double(double)> variance;      // V(μ)
    std::vector<double> ys;
  };
  auto unit = [](auto family) {
    return [family](double y, double mu) { return family.deviance(V{y}, V{mu}, V{}); };
  };
  const Case cases[] = {
      {"binomial", unit(Bernoulli{}), Bernoulli::variance, {0.05, 0.5, 0.9}},
      {"quasibinomial", unit(QuasiBinomial{}), QuasiBinomial::variance, {0.2, 0.7}},
      {"poisson", unit(Poisson{}), Poisson::variance, {0.3, 4.0, 250.0}},
      {"quasipoisson", unit(QuasiPoisson{}), QuasiPoisson::variance, {2.0}},
      {"gamma inverse", unit(GammaInverse{}), GammaInverse::variance, {0.01, 1.0, 30.0}},
      {"gamma log", unit(GammaLog{}), GammaLog::variance, {0.5}},
      {"inverse gaussian", unit(InverseGaussian{}), InverseGaussian::variance, {0.1, 1.0, 8.0}},
      {"gaussian",
       [](double y, double mu) { return (y - mu) * (y - mu); },
       Gaussian::variance,
       {-3.0, 2.0}},
  };
  for (const auto& c : cases) {
    for (double y : c.ys) {
      const double h = 1e-4 * std::fabs(y);
      const double curvature = (c.unit(y, y + h) - 2.0 * c.unit(y, y) + c.unit(y, y - h)) / (h * h);
      EXPECT_NEAR(curvature, 2.0 / c.variance(y), 1e-6 * (2.0 / c.variance(y)))
          << c.name << " y=" << y;
    }
  }
}

// The Tweedie deviance is 2 * integral_mu^y (y - t) / t^p dt; checked against
// composite Simpson quadrature.
TEST(Deviance, TweedieMatchesItsQuasiLikelihoodIntegral) {
  const double ps[] = {1.1, 1.5, 1.9};
  const double pairs[][2] = {{0.7, 2.3}, {4.0, 1.5}, {3.0, 3.0}, {0.2, 5.0}};
  for (double p : ps) {
    for (const auto& pr : pairs) {
      const double y = pr[0], mu = pr[1];
      const int n = 20000;
      const double h = (y - mu) / n;
      auto f = [&](double t) { return (y - t) / std::pow(t, p); };
      double s = f(mu) + f(y);
      for (int k = 1; k < n; ++k) s += (k % 2 ? 4.0 : 2.0) * f(mu + k * h);
      const double expected = 2.0 * s * h / 3.0;
      EXPECT_NEAR(tweedie_log(p, 1.0).deviance(V{y}, V{mu}, {}), expected, 1e-10)
          << "p=" << p << " y=" << y << " mu=" << mu;
    }
  }
}

TEST(Deviance, EdgeValues) {
  struct Case {
    const char* what;
    double got;
    double expected;
    double tol;
  };
  const double ln_inv_clamp = std::log(1.0 / (1.0 - 1e-15));  // ~1e-15
  const Case cases[] = {
      // The clamp keeps both logarithms finite at the boundary means.
      {"binomial y=0 mu=0", binomial_deviance(V{0}, V{0}, {}), 2 * ln_inv_clamp, 1e-30},
      {"binomial y=1 mu=1", binomial_deviance(V{1}, V{1}, {}), 2 * ln_inv_clamp, 1e-30},
      {"binomial y=0 mu=0 is ~2e-15", binomial_deviance(V{0}, V{0}, {}), 2e-15, 3e-16},
      {"binomial y=0.5 mu=0.25 uses both terms", binomial_deviance(V{0.5}, V{0.25}, {}),
       std::log(4.0 / 3.0), 1e-15},
      {"binomial y=1 mu=0 is finite", binomial_deviance(V{1}, V{0}, {}), -2 * std::log(1e-15),
       1e-12},
      {"poisson y=0 gives 2 mu", poisson_deviance(V{0}, V{3}, {}), 6.0, 0},
      {"poisson y=0 mu=NaN gives the floor", poisson_deviance(V{0}, V{kNaN}, {}), 2e-300, 0},
      {"poisson mu=0 y=2 is finite", poisson_deviance(V{2}, V{0}, {}),
       2 * (2 * (std::log(2.0) + 300 * std::log(10.0)) - 2), 1e-11},
      {"negbin y=0", negbin_deviance(V{0}, V{2}, {}, 2.0), 4 * std::log(2.0), 1e-15},
      {"tweedie y=0", tweedie_deviance(V{0}, V{4}, {}, 1.5), 8.0, 1e-14},
      {"gamma y=mu", gamma_deviance(V{2.5}, V{2.5}, {}), 0.0, 0},
      {"gamma y=0 uses 1e-300", gamma_deviance(V{0}, V{1}, {}), 2 * (-1 + 300 * std::log(10.0)),
       1e-11},
      {"inverse gaussian y=mu", inverse_gaussian_deviance(V{0.7}, V{0.7}, {}), 0.0, 0},
      {"inverse gaussian y=0 uses 1e-300", inverse_gaussian_deviance(V{0}, V{1}, {}), 1e300, 1e285},
      {"inverse gaussian no factor 2", inverse_gaussian_deviance(V{2}, V{1}, {}), 0.5, 1e-16},
      {"tdist y=mu", tdist_deviance(V{1.5}, V{1.5}, {}, 3, 2), 0.0, 0},
      {"tdist (y-mu)^2 = nu sigma2", tdist_deviance(V{1 + std::sqrt(6.0)}, V{1}, {}, 3, 2),
       4 * std::log(2.0), 1e-14},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(std::isfinite(c.got)) << c.what;
    EXPECT_NEAR(c.got, c.expected, c.tol) << c.what;
  }
  // The binomial clamp lets a NaN mean through instead of turning it into a
  // boundary value.
  EXPECT_TRUE(std::isnan(binomial_deviance(V{0.5}, V{kNaN}, {})));
  EXPECT_TRUE(std::isnan(binomial_deviance(V{0.0}, V{kNaN}, {})));
  // Out-of-domain means give IEEE values, not errors.
  EXPECT_TRUE(std::isnan(tdist_deviance(V{1}, V{kNaN}, {}, 3, 2)));
}

TEST(Deviance, WeightsAndEmptyInputs) {
  const V y{0.0, 1.0, 4.0}, mu{0.5, 2.0, 3.0};
  const double d0 = poisson_deviance(V{y[0]}, V{mu[0]}, {});
  const double d2 = poisson_deviance(V{y[2]}, V{mu[2]}, {});
  // A zero weight removes the observation; others scale their unit deviance.
  EXPECT_DOUBLE_EQ(poisson_deviance(y, mu, V{2.0, 0.0, 0.5}), 2.0 * d0 + 0.5 * d2);
  // Entries beyond n in mu and w are not read.
  EXPECT_EQ(poisson_deviance(V{y[0]}, mu, V{1.0, kNaN, kNaN}), d0);

  const V none;
  EXPECT_EQ(binomial_deviance(none, none, none), 0.0);
  EXPECT_EQ(poisson_deviance(none, none, none), 0.0);
  EXPECT_EQ(negbin_deviance(none, none, none, 2.0), 0.0);
  EXPECT_EQ(tweedie_deviance(none, none, none, 1.5), 0.0);
  EXPECT_EQ(gamma_deviance(none, none, none), 0.0);
  EXPECT_EQ(inverse_gaussian_deviance(none, none, none), 0.0);
  EXPECT_EQ(tdist_deviance(none, none, none, 5.0, 1.0), 0.0);
}

TEST(Deviance, ShortMeansOrWeightsAreContractViolations) {
  const V y{1.0, 2.0, 3.0};
  EXPECT_THROW(poisson_deviance(y, V{1.0, 2.0}, {}), InvariantViolation);
  EXPECT_THROW(gamma_deviance(y, y, V{1.0}), InvariantViolation);
  EXPECT_THROW(tdist_deviance(y, V{}, {}, 5.0, 1.0), InvariantViolation);
  EXPECT_THROW(Bernoulli{}.deviance(V{0.0, 1.0}, V{0.5}, {}), InvariantViolation);
}

// ---- starting means ---------------------------------------------------------------

TEST(InitialMu, StartingMeans) {
  struct Case {
    const char* what;
    V got;
    V expected;
  };
  const Case cases[] = {
      {"binomial", binomial_initial_mu(V{0, 1, 0.5}), V{0.25, 0.75, 0.5}},
      {"poisson", poisson_initial_mu(V{0, 3, 0.05, kNaN}), V{0.1, 3, 0.1, 0.1}},
      {"gamma", gamma_initial_mu(V{0, 2.5, kNaN}), V{0.001, 2.5, 0.001}},
      {"tdist moves halfway to the mean", tdist_initial_mu(V{0, 2}), V{0.5, 1.5}},
      {"inverse gaussian member", InverseGaussian{}.initial_mu(V{0, 4}), V{0.001, 4}},
      {"negbin member", negbin_log(2).initial_mu(V{0, 4}), V{0.1, 4}},
      {"tweedie member", tweedie_log(1.5, 1).initial_mu(V{0, 4}), V{0.1, 4}},
      {"empty", tdist_initial_mu(V{}), V{}},
      {"empty binomial", binomial_initial_mu(V{}), V{}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got, c.expected) << c.what;
  }
}

}  // namespace
}  // namespace quelt

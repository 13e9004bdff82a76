// Fit summaries and the end-to-end drivers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/error.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"
#include "core/matrix.hpp"
#include "design/additive.hpp"
#include "design/model_design.hpp"
#include "design/predictor.hpp"
#include "design/terms.hpp"
#include "family/families.hpp"
#include "fit/driver_common.hpp"
#include "fit/edf_vcov.hpp"
#include "fit/gaussian_driver.hpp"
#include "fit/std_driver.hpp"
#include "inner/fit_context.hpp"
#include "outer/outer_frame.hpp"
#include "outer/settings.hpp"
#include "score/envelope.hpp"

namespace quelt {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A small penalized system: X (n x p, intercept first), weights w, one
// second-difference penalty on columns 1..p−1 (rank p − 3, its null space
// holds constants and lines in those columns).
struct SmallSystem {
  std::size_t n = 60, p = 6;
  Matrix x;
  Vector w;
  Matrix S;
  explicit SmallSystem(unsigned seed) : x(n, p), w(n), S(p, p) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = 1.0;
      for (std::size_t j = 1; j < p; ++j) x(i, j) = z(gen);
      w[i] = u(gen);
    }
    // DᵀD for the second differences of coefficients 1..p−1.
    for (std::size_t r = 1; r + 2 < p; ++r) {
      const double d[3] = {1.0, -2.0, 1.0};
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) S(r + a, r + b) += d[a] * d[b];
    }
  }
  // XᵀWX by plain loops.
  Matrix xtwx() const {
    Matrix a(p, p);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < p; ++k) a(j, k) += x(i, j) * w[i] * x(i, k);
    return a;
  }
  Matrix chol(double rho) const {
    Matrix h = xtwx();
    const double lam = std::exp(rho);
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t k = 0; k < p; ++k) h(j, k) += lam * S(j, k);
    return cholesky(h).value();
  }
};

// tr(A⁻¹B) by Gauss-Jordan elimination of [A | B].
double trace_solve(Matrix A, Matrix B) {
  const std::size_t p = A.rows();
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t piv = c;
    for (std::size_t r = c + 1; r < p; ++r)
      if (std::fabs(A(r, c)) > std::fabs(A(piv, c))) piv = r;
    for (std::size_t k = 0; k < p; ++k)
      std::swap(A(c, k), A(piv, k)), std::swap(B(c, k), B(piv, k));
    for (std::size_t r = 0; r < p; ++r) {
      if (r == c) continue;
      const double f = A(r, c) / A(c, c);
      for (std::size_t k = 0; k < p; ++k) A(r, k) -= f * A(c, k), B(r, k) -= f * B(c, k);
    }
  }
  double t = 0.0;
  for (std::size_t c = 0; c < p; ++c) t += B(c, c) / A(c, c);
  return t;
}

TEST(EdfVcov, EffectiveDegreesOfFreedom) {
  const SmallSystem s(7);
  const std::vector<Matrix> pens = {s.S};
  for (double rho : {-6.0, 0.0, 3.0}) {
    const Matrix L = s.chol(rho);
    const double total = compute_edf_total(s.x.view(), s.w, L);
    Matrix h = s.xtwx();
    for (std::size_t j = 0; j < s.p; ++j)
      for (std::size_t k = 0; k < s.p; ++k) h(j, k) += std::exp(rho) * s.S(j, k);
    EXPECT_NEAR(total, trace_solve(h, s.xtwx()), 1e-10) << rho;
    const Vector per = compute_edf_per_term(pens, Vector{rho}, s.p, L);
    ASSERT_EQ(per.size(), 1u);
    // The penalty touches every column but the intercept.
    EXPECT_NEAR(total - per[0], 1.0, 1e-10) << rho;
  }
  // Limits: λ → 0 leaves all p columns free, λ → ∞ only the intercept and
  // the penalty's null space (p − rank = 3).
  EXPECT_NEAR(compute_edf_total(s.x.view(), s.w, s.chol(-30.0)), 6.0, 1e-6);
  EXPECT_NEAR(compute_edf_total(s.x.view(), s.w, s.chol(30.0)), 3.0, 1e-3);

  // Rows of the penalty holding only zeros are not counted: a diagonal
  // penalty on columns 2 and 4 at a negligible λ leaves edf ≈ 2.
  Matrix d(s.p, s.p);
  d(2, 2) = 1.0, d(4, 4) = 1.0, d(2, 4) = -0.0;
  const Vector per = compute_edf_per_term({d}, Vector{-700.0}, s.p, s.chol(0.0));
  EXPECT_NEAR(per[0], 2.0, 1e-12);
  // No penalties: an empty array.
  EXPECT_TRUE(compute_edf_per_term({}, Vector{}, s.p, s.chol(0.0)).empty());
}

TEST(EdfVcov, CovarianceScaling) {
  // H = [[4, 2], [2, 3]], H⁻¹ = [[3, −2], [−2, 4]] / 8.
  Matrix h(2, 2);
  h(0, 0) = 4.0, h(0, 1) = h(1, 0) = 2.0, h(1, 1) = 3.0;
  const Matrix L = cholesky(h).value();
  const double inv[2][2] = {{3.0 / 8, -2.0 / 8}, {-2.0 / 8, 4.0 / 8}};
  const Matrix unit = compute_vcov(L, 1.0);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_NEAR(unit(i, j), inv[i][j], 1e-15);
  EXPECT_EQ(unit, inverse_from_cholesky(L.view()));  // bit for bit

  struct Case {
    double scale;
    double factor;  // expected multiple of H⁻¹; NaN means every entry NaN
  };
  const double above_one = std::nextafter(1.0, 2.0);
  for (const Case& c :
       std::vector<Case>{{2.5, 2.5}, {0.0, 0.0}, {above_one, above_one}, {kNaN, kNaN}}) {
    const Matrix v = compute_vcov(L, c.scale);
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) {
        if (std::isnan(c.factor))
          EXPECT_TRUE(std::isnan(v(i, j))) << "no residual df must not look like scale 1";
        else
          EXPECT_EQ(v(i, j), unit(i, j) * c.factor) << c.scale;
      }
  }
  const Vector e = exp_array(Vector{0.0, -1.0, 2.0});
  EXPECT_DOUBLE_EQ(e[1], 1.0 / M_E);
  EXPECT_DOUBLE_EQ(e[2], M_E * M_E);
}

// ---- end-to-end fits ---------------------------------------------------------

constexpr double kTwoPi = 6.283185307179586;

// One covariate x ~ U(0, 1) and the design [1 | x − ½ | k centred Gaussian
// bumps], one ridge penalty on the bumps (rank k, log pseudo-determinant 0);
// the null space is the intercept and the line.
struct Sim {
  Vector x;
  ModelDesign design;
};

Sim bump_sim(std::size_t n, std::size_t k, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Sim s;
  s.x.resize(n);
  for (double& v : s.x) v = u(gen);
  const std::size_t p = 2 + k;
  Matrix x(n, p);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = 1.0;
    x(i, 1) = s.x[i] - 0.5;
  }
  for (std::size_t b = 0; b < k; ++b) {
    const double c = (b + 0.5) / static_cast<double>(k), width = 1.0 / static_cast<double>(k);
    double mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double d = (s.x[i] - c) / width;
      x(i, 2 + b) = std::exp(-0.5 * d * d);
      mean += x(i, 2 + b);
    }
    mean /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) x(i, 2 + b) -= mean;
  }
  Matrix pen(p, p);
  for (std::size_t b = 0; b < k; ++b) pen(2 + b, 2 + b) = 1.0;
  s.design.x = std::move(x);
  s.design.penalties = {pen};
  s.design.penalty_ranks = {k};
  s.design.penalty_log_pdets = {0.0};
  s.design.penalty_groups = {{0}};
  s.design.null_space_dim = 2;
  return s;
}

double logistic(double e) { return 1.0 / (1.0 + std::exp(-e)); }

// Draws of the family's response around the mean mu (seeded).
enum class Draw { Normal, Poisson, Bernoulli, OverPoisson, Proportion, Gamma, InvGauss };
Vector draw(Draw kind, const Vector& mu, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> z(0.0, 1.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Vector y(mu.size());
  for (std::size_t i = 0; i < mu.size(); ++i) {
    const double m = mu[i];
    switch (kind) {
      case Draw::Normal:
        y[i] = m + 0.5 * z(gen);
        break;
      case Draw::Poisson:
        y[i] = std::poisson_distribution<int>(m)(gen);
        break;
      case Draw::Bernoulli:
        y[i] = u(gen) < m ? 1.0 : 0.0;
        break;
      case Draw::OverPoisson: {  // gamma-Poisson mixture, variance μ + μ²/2
        const double g = std::gamma_distribution<double>(2.0, m / 2.0)(gen);
        y[i] = std::poisson_distribution<int>(g)(gen);
        break;
      }
      case Draw::Proportion:
        y[i] = std::binomial_distribution<int>(20, m)(gen) / 20.0;
        break;
      case Draw::Gamma:
        y[i] = std::gamma_distribution<double>(4.0, m / 4.0)(gen);
        break;
      case Draw::InvGauss: {  // inverse Gaussian with mean m and shape 5
        const double shape = 5.0, v = z(gen), w = v * v;
        const double r = m + m * m * w / (2 * shape) -
                         m / (2 * shape) * std::sqrt(4 * m * shape * w + m * m * w * w);
        y[i] = u(gen) <= m / (m + r) ? r : m * m / r;
        break;
      }
    }
  }
  return y;
}

struct FamilyCase {
  const char* name;
  Draw kind;
  double amp, offset;  // log-scale (or identity/logit) truth: offset + amp·sin(2πx)
  double rmse_bound;   // on the linear predictor
  double scale;        // the dispersion of the draws; 0 when it varies with μ
};

// The fitted linear predictor X·β against the truth, root mean square.
double eta_rmse(const Sim& s, const Matrix& x, const FittedGam& r, const Vector& eta_true) {
  double ss = 0.0;
  for (std::size_t i = 0; i < s.x.size(); ++i) {
    double e = 0.0;
    for (std::size_t j = 0; j < r.beta.size(); ++j) e += x(i, j) * r.beta[j];
    ss += (e - eta_true[i]) * (e - eta_true[i]);
  }
  return std::sqrt(ss / static_cast<double>(s.x.size()));
}

// Symmetric, and positive semi-definite up to rounding.
void expect_symmetric_psd(const Matrix& v) {
  ASSERT_EQ(v.rows(), v.cols());
  double top = 0.0;
  for (std::size_t i = 0; i < v.rows(); ++i) {
    for (std::size_t j = 0; j < v.cols(); ++j) EXPECT_EQ(v(i, j), v(j, i));
    top = std::fmax(top, std::fabs(v(i, i)));
  }
  auto e = sym_eigen(v);
  ASSERT_TRUE(e.ok());
  EXPECT_GE(e.value().values.front(), -1e-10 * top);
}

template <class F>
Result<FittedGam> fit_family(ModelDesign d, const Vector& y,
                             std::optional<Vector> w = std::nullopt) {
  if constexpr (std::is_same_v<F, Gaussian>)
    return fit_gaussian(std::move(d), y, w);
  else
    return fit_std_family<F>(std::move(d), y, w);
}

template <class F>
void check_recovery(const FamilyCase& c) {
  SCOPED_TRACE(c.name);
  const std::size_t n = 1500, k = 12;
  Sim s = bump_sim(n, k, 11);
  const Matrix x = s.design.x;
  Vector eta(n), mu(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double f = c.offset + c.amp * std::sin(kTwoPi * s.x[i]);
    switch (F::link) {
      case Link::Identity:
        eta[i] = mu[i] = f;
        break;
      case Link::Log:
        eta[i] = f, mu[i] = std::exp(f);
        break;
      case Link::Logit:
        eta[i] = f, mu[i] = logistic(f);
        break;
      case Link::Inverse:
        mu[i] = std::exp(f), eta[i] = 1.0 / mu[i];
        break;
    }
  }
  const Vector y = draw(c.kind, mu, 23);
  auto r = fit_family<F>(std::move(s.design), y);
  ASSERT_TRUE(r.ok()) << r.error().display();
  const FittedGam& g = r.value();
  EXPECT_TRUE(g.converged);
  EXPECT_EQ(g.link, F::link);
  EXPECT_LT(eta_rmse(s, x, g, eta), c.rmse_bound);
  // Summaries: sizes, edf between the null space (plus nothing) and p,
  // covariance symmetric PSD.
  ASSERT_EQ(g.rho.size(), 1u);
  ASSERT_EQ(g.lambda.size(), 1u);
  ASSERT_EQ(g.edf_per_term.size(), 1u);
  EXPECT_DOUBLE_EQ(g.lambda[0], std::exp(g.rho[0]));
  EXPECT_TRUE(g.shape_params.empty());
  EXPECT_EQ(g.n, n);
  EXPECT_GE(g.edf_total, 2.0);
  EXPECT_LE(g.edf_total, static_cast<double>(k + 2));
  // (PIRLS returns the factor of its last accepted iteration and the weights
  // refreshed at its result, so the identity holds to the inner tolerance.)
  EXPECT_NEAR(g.edf_total - g.edf_per_term[0], 2.0, 1e-5);
  expect_symmetric_psd(g.vcov);
  if (c.scale > 0.0) {
    EXPECT_NEAR(g.scale, c.scale, 0.15 * c.scale);
  } else {
    EXPECT_GT(g.scale, 1.5);  // overdispersed counts
  }
  // Counters: every trial and evaluation is one successful inner fit.
  const FitStats& st = g.fit_stats;
  EXPECT_GE(st.outer_iterations, g.n_iters);
  EXPECT_LE(st.no_refresh_hits, st.no_refresh_attempts);
  EXPECT_LE(st.no_refresh_attempts, st.line_search_trials);
  if (!F::uses_warm_start) {
    EXPECT_EQ(st.no_refresh_attempts, 0u);
  } else {
    // Every trial follows an evaluation at an admissible point, whose cache
    // gives the trial its extrapolated start.
    EXPECT_EQ(st.no_refresh_attempts, st.line_search_trials);
  }
  EXPECT_GE(st.inner_pirls_iterations_total, st.inner_pirls_calls);
  // One counted fit per evaluation (the start and each accepted point, one
  // per outer iteration) and per trial; the final fit is not counted.
  EXPECT_EQ(st.inner_pirls_calls, st.outer_iterations + st.line_search_trials);
}

TEST(Drivers, RecoverAKnownSmoothForEveryFamily) {
  set_outer_algorithm(kOuterUnset);
  // Dispersions of the draws: normal σ² = 0.25; gamma shape 4 → 1/4;
  // inverse Gaussian shape 5 → 1/5; proportions of 20 trials → 1/20.
  check_recovery<Gaussian>({"gaussian", Draw::Normal, 2.0, 1.0, 0.06, 0.25});
  check_recovery<Poisson>({"poisson", Draw::Poisson, 1.0, 0.5, 0.11, 1.0});
  check_recovery<Bernoulli>({"bernoulli", Draw::Bernoulli, 1.5, 0.0, 0.3, 1.0});
  check_recovery<QuasiPoisson>({"quasipoisson", Draw::OverPoisson, 1.0, 1.0, 0.16, 0.0});
  check_recovery<QuasiBinomial>({"quasibinomial", Draw::Proportion, 1.0, 0.0, 0.07, 0.05});
  check_recovery<GammaLog>({"gamma", Draw::Gamma, 0.8, 0.5, 0.1, 0.25});
  check_recovery<GammaInverse>({"Gamma", Draw::Gamma, 0.8, 0.5, 0.07, 0.25});
  check_recovery<InverseGaussian>({"inverse_gaussian", Draw::InvGauss, 0.5, 0.3, 0.08, 0.2});
}

// Data for the agreement and invariance tests: n = 800, k = 10.
struct Counts {
  Sim sim;
  Vector y;
};
Counts count_data(Draw kind, unsigned seed) {
  Counts c{bump_sim(800, 10, seed), {}};
  Vector mu(800);
  for (std::size_t i = 0; i < 800; ++i) mu[i] = std::exp(1.0 + std::sin(kTwoPi * c.sim.x[i]));
  c.y = draw(kind, mu, seed + 1);
  return c;
}

template <class F>
FittedGam fit_with(Draw kind, std::uint8_t algorithm) {
  Counts c = count_data(kind, 5);
  set_outer_algorithm(algorithm);
  auto r = fit_std_family<F>(std::move(c.sim.design), c.y, std::nullopt);
  set_outer_algorithm(kOuterUnset);
  EXPECT_TRUE(r.ok()) << r.error().display();
  return std::move(r).value();
}

TEST(Drivers, NewtonAndFellnerSchallAgree) {
  // Poisson: both find the stationary point of the same score.
  const FittedGam pn = fit_with<Poisson>(Draw::Poisson, kOuterNewton);
  const FittedGam pf = fit_with<Poisson>(Draw::Poisson, kOuterFellnerSchall);
  EXPECT_TRUE(pn.converged);
  EXPECT_TRUE(pf.converged);
  EXPECT_NEAR(pn.rho[0], pf.rho[0], 0.01);
  EXPECT_NEAR(pn.edf_total, pf.edf_total, 0.01);
  // The Fellner-Schall record: no score, no line search, one inner fit per
  // iteration.
  EXPECT_EQ(pf.reml_value, 0.0);
  EXPECT_EQ(pf.fit_stats.line_search_trials, 0u);
  EXPECT_EQ(pf.fit_stats.outer_iterations, pf.n_iters);
  EXPECT_EQ(pf.fit_stats.inner_pirls_calls, pf.n_iters);
  EXPECT_EQ(pf.fit_stats.no_refresh_attempts, 0u);
  // Overdispersed counts: the update must carry the scale estimate, else
  // it lands about ln φ ≈ 1 away from the Newton optimum.
  const FittedGam qn = fit_with<QuasiPoisson>(Draw::OverPoisson, kOuterNewton);
  const FittedGam qf = fit_with<QuasiPoisson>(Draw::OverPoisson, kOuterFellnerSchall);
  ASSERT_GT(qn.scale, 2.0);
  EXPECT_NEAR(qn.rho[0], qf.rho[0], 0.05);
  EXPECT_NEAR(qn.scale, qf.scale, 0.01 * qn.scale);

  // A tensor product: two penalties share one coefficient block, so
  // ∂log|S_λ|₊/∂ρ_j is not the rank of S_j. With the rank in its place the
  // update settles about 0.7 away from the optimum in both coordinates.
  {
    const std::size_t n = 1000;
    std::mt19937_64 gen(31);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Matrix cov(n, 2);
    Vector mu(n);
    for (std::size_t i = 0; i < n; ++i) {
      cov(i, 0) = u(gen), cov(i, 1) = u(gen);
      mu[i] =
          std::exp(0.5 + std::sin(kTwoPi * cov(i, 0)) * std::cos(kTwoPi * cov(i, 1)) + cov(i, 1));
    }
    const Vector y = draw(Draw::Poisson, mu, 32);
    const std::vector<TermSpec> te = {TermSpec{TermSpec::Te{0, 1, 6, 6}}};
    std::vector<FittedGam> fits;
    for (std::uint8_t alg : {kOuterNewton, kOuterFellnerSchall}) {
      auto d = build_additive_design(te, cov.view());
      ASSERT_TRUE(d.ok()) << d.error().display();
      set_outer_algorithm(alg);
      auto r = fit_std_family<Poisson>(std::move(d).value(), y, std::nullopt);
      set_outer_algorithm(kOuterUnset);
      ASSERT_TRUE(r.ok()) << r.error().display();
      fits.push_back(std::move(r).value());
    }
    ASSERT_EQ(fits[0].rho.size(), 2u);
    EXPECT_TRUE(fits[0].converged && fits[1].converged);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(fits[0].rho[j], fits[1].rho[j], 0.01) << j;
    EXPECT_NEAR(fits[0].edf_total, fits[1].edf_total, 0.01);
  }
}

// The score of the fitted data at other smoothing parameters.
template <class F>
std::pair<double, Vector> score_at(ModelDesign d, const Vector& y, double rho) {
  FitContext<F> ctx = make_fit_context<F>(d, y, std::nullopt, F{}, InnerOptions{50, 1e-9, 10});
  auto r = envelope_score_at_rho(ctx, Vector{rho});
  EXPECT_TRUE(r.ok());
  return r.value();
}

template <class F>
void check_stationary(Draw kind) {
  Counts c = count_data(kind, 9);
  const ModelDesign d = c.sim.design;
  auto r = fit_family<F>(std::move(c.sim.design), c.y);
  ASSERT_TRUE(r.ok());
  const FittedGam& g = r.value();
  ASSERT_TRUE(g.converged);
  const auto [s0, grad] = score_at<F>(d, c.y, g.rho[0]);
  EXPECT_NEAR(s0, g.reml_value, 1e-6 * std::fabs(s0));
  EXPECT_LT(std::fabs(grad[0]), 5e-7 * (std::fabs(s0) + 1.0));
  for (double h : {-0.1, 0.1}) EXPECT_GE(score_at<F>(d, c.y, g.rho[0] + h).first, s0);
}

TEST(Drivers, ReturnedPointIsAMinimumOfTheScore) {
  check_stationary<Poisson>(Draw::Poisson);
  check_stationary<Gaussian>(Draw::Normal);
  check_stationary<QuasiPoisson>(Draw::OverPoisson);
}

TEST(Drivers, UnitsOfTheResponseDoNotMatter) {
  // Gaussian: y → c·y leaves ρ unchanged. Quasi-Poisson: the deviance scales
  // by c while βᵀSβ does not (the intercept absorbs ln c), so λ scales by c:
  // ρ − ln c, the edf and the convergence are the same.
  for (bool gaussian : {true, false}) {
    std::vector<FittedGam> fits;
    const std::vector<double> cs = {1e-6, 1.0, 1e6};
    for (double c : cs) {
      Counts d = count_data(gaussian ? Draw::Normal : Draw::OverPoisson, 3);
      for (double& v : d.y) v *= c;
      auto r = gaussian ? fit_gaussian(std::move(d.sim.design), d.y, std::nullopt)
                        : fit_std_family<QuasiPoisson>(std::move(d.sim.design), d.y, std::nullopt);
      ASSERT_TRUE(r.ok()) << r.error().display();
      fits.push_back(std::move(r).value());
    }
    for (std::size_t i = 0; i < cs.size(); ++i) {
      SCOPED_TRACE(std::to_string(cs[i]) + (gaussian ? " gaussian" : " quasipoisson"));
      const double shift = gaussian ? 0.0 : std::log(cs[i]);
      EXPECT_TRUE(fits[i].converged);
      // The start, the box and the convergence tests follow the units, so
      // the loop takes the same path: equal far inside its tolerance.
      EXPECT_NEAR(fits[i].rho[0] - shift, fits[1].rho[0], 1e-6);
      EXPECT_NEAR(fits[i].edf_total, fits[1].edf_total, 1e-6);
      const double unit = gaussian ? cs[i] * cs[i] : cs[i];
      EXPECT_NEAR(fits[i].scale / unit, fits[1].scale, 1e-6 * fits[1].scale);
    }
  }
}

// H = XᵀWX + λS formed in the test from the record's β, with the family's
// Fisher weights at μ = g⁻¹(Xβ).
Matrix penalized_hessian(const Matrix& x, const Matrix& S, const FittedGam& g, bool logit) {
  const std::size_t n = x.rows(), p = x.cols();
  Matrix h(p, p);
  for (std::size_t i = 0; i < n; ++i) {
    double e = 0.0;
    for (std::size_t j = 0; j < p; ++j) e += x(i, j) * g.beta[j];
    const double w = logit ? logistic(e) * (1.0 - logistic(e)) : std::exp(e);
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t k = 0; k < p; ++k) h(j, k) += x(i, j) * w * x(i, k);
  }
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t k = 0; k < p; ++k) h(j, k) += g.lambda[0] * S(j, k);
  return h;
}

// max |V·H − c·I|.
double max_dev_from_scaled_identity(const Matrix& v, const Matrix& h, double c) {
  const std::size_t p = h.rows();
  double dev = 0.0;
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < p; ++k) s += v(i, k) * h(k, j);
      dev = std::fmax(dev, std::fabs(s - (i == j ? c : 0.0)));
    }
  return dev;
}

TEST(Drivers, ScaleAndCovariance) {
  // Bernoulli: scale exactly 1 and vcov = H⁻¹.
  {
    Sim s = bump_sim(600, 8, 4);
    Vector mu(600);
    for (std::size_t i = 0; i < 600; ++i) mu[i] = logistic(2.0 * std::sin(kTwoPi * s.x[i]));
    const Vector y = draw(Draw::Bernoulli, mu, 8);
    const Matrix x = s.design.x, S = s.design.penalties[0];
    auto r = fit_std_family<Bernoulli>(std::move(s.design), y, std::nullopt);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().scale, 1.0);
    EXPECT_LT(
        max_dev_from_scaled_identity(r.value().vcov, penalized_hessian(x, S, r.value(), true), 1.0),
        1e-6);
  }
  // Quasi-Poisson: Pearson statistic over n − edf, vcov = φ·H⁻¹.
  {
    Counts c = count_data(Draw::OverPoisson, 6);
    const Matrix x = c.sim.design.x, S = c.sim.design.penalties[0];
    auto r = fit_std_family<QuasiPoisson>(std::move(c.sim.design), c.y, std::nullopt);
    ASSERT_TRUE(r.ok());
    const FittedGam& g = r.value();
    double pearson = 0.0;
    for (std::size_t i = 0; i < x.rows(); ++i) {
      double e = 0.0;
      for (std::size_t j = 0; j < x.cols(); ++j) e += x(i, j) * g.beta[j];
      pearson += (c.y[i] - std::exp(e)) * (c.y[i] - std::exp(e)) / std::exp(e);
    }
    EXPECT_NEAR(g.scale, pearson / (x.rows() - g.edf_total), 1e-8 * g.scale);
    EXPECT_LT(max_dev_from_scaled_identity(g.vcov, penalized_hessian(x, S, g, false), g.scale),
              1e-6);
  }
  // "Gamma" and "gamma": the same data give the two links and scales near
  // each other (the fits differ only in the link).
  {
    Counts a = count_data(Draw::Gamma, 2), b = count_data(Draw::Gamma, 2);
    auto ri = fit_std_family<GammaInverse>(std::move(a.sim.design), a.y, std::nullopt);
    auto rl = fit_std_family<GammaLog>(std::move(b.sim.design), b.y, std::nullopt);
    ASSERT_TRUE(ri.ok() && rl.ok());
    EXPECT_EQ(ri.value().link, Link::Inverse);
    EXPECT_EQ(rl.value().link, Link::Log);
    EXPECT_NEAR(ri.value().scale, rl.value().scale, 0.1 * rl.value().scale);
  }
}

TEST(Drivers, FewerInformativeRowsThanCoefficientsAreRefused) {
  // Two rows and four coefficients (two in the null space): the scale
  // cannot be estimated and the coefficients are not determined. Rows of
  // zero weight are not data, so they do not make up the difference.
  const std::string two =
      "the model has 4 coefficients but only 2 rows of positive prior "
      "weight; it needs at least as many rows as coefficients";
  for (bool gaussian : {true, false}) {
    for (bool padded : {false, true}) {
      const std::size_t n = padded ? 6 : 2;
      Sim s = bump_sim(n, 2, 1);
      Vector y(n, 1.5), w(n, 0.0);
      y[0] = 1.0, w[0] = w[1] = 1.0;
      const std::optional<Vector> weights = padded ? std::optional<Vector>(w) : std::nullopt;
      auto r = gaussian ? fit_gaussian(std::move(s.design), y, weights)
                        : fit_std_family<QuasiPoisson>(std::move(s.design), y, weights);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
      EXPECT_EQ(r.error().message, two);
    }
  }
}

TEST(Drivers, GaussianCountersAndFirstEvaluation) {
  Counts c = count_data(Draw::Normal, 12);
  auto r = fit_gaussian(std::move(c.sim.design), c.y, std::nullopt);
  ASSERT_TRUE(r.ok());
  const FitStats& st = r.value().fit_stats;
  EXPECT_EQ(st.inner_pirls_iterations_total, st.inner_pirls_calls);
  EXPECT_EQ(st.no_refresh_attempts, 0u);
  EXPECT_EQ(st.no_refresh_hits, 0u);
  // One fit per evaluation (start + accepted steps) and per trial; the
  // final fit is not counted.
  ASSERT_TRUE(r.value().converged);
  EXPECT_EQ(st.outer_iterations, r.value().n_iters + 1);
  EXPECT_EQ(st.inner_pirls_calls, 1 + r.value().n_iters + st.line_search_trials);
}

TEST(Drivers, TuningOverrideReachesTheNewtonLoop) {
  // A loose gradient tolerance: the start converges at the first
  // evaluation, which is the only counted fit.
  {
    Counts c = count_data(Draw::Poisson, 4);
    set_outer_tuning_override(OuterOptions{1e3, 1e-7, 200, 5.0});
    auto r = fit_std_family<Poisson>(std::move(c.sim.design), c.y, std::nullopt);
    set_outer_tuning_override(std::nullopt);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().converged);
    EXPECT_EQ(r.value().n_iters, 0u);
    // No step was taken: ρ is the start.
    Counts again = count_data(Draw::Poisson, 4);
    const auto ctx =
        make_fit_context<Poisson>(std::move(again.sim.design), again.y, std::nullopt, Poisson{});
    EXPECT_EQ(r.value().rho[0], outer_frame(ctx).start[0]);
    const FitStats& st = r.value().fit_stats;
    EXPECT_EQ(st.outer_iterations, 1u);
    EXPECT_EQ(st.line_search_trials, 0u);
    EXPECT_EQ(st.no_refresh_attempts, 0u);
    EXPECT_EQ(st.inner_pirls_calls, 1u);
  }
  // One allowed step of at most 0.5 cannot reach the optimum: NotConverged
  // and no record. The Fellner-Schall path does not read the override.
  {
    set_outer_tuning_override(OuterOptions{5e-7, 1e-7, 1, 0.5});
    Counts c = count_data(Draw::Poisson, 4);
    auto newton = fit_std_family<Poisson>(std::move(c.sim.design), c.y, std::nullopt);
    Counts d = count_data(Draw::Poisson, 4);
    set_outer_algorithm(kOuterFellnerSchall);
    auto fs = fit_std_family<Poisson>(std::move(d.sim.design), d.y, std::nullopt);
    set_outer_algorithm(kOuterUnset);
    set_outer_tuning_override(std::nullopt);
    ASSERT_FALSE(newton.ok());
    EXPECT_EQ(newton.error().kind, QueltError::Kind::NotConverged);
    EXPECT_EQ(newton.error().iters, 1u);
    ASSERT_TRUE(fs.ok());
    EXPECT_TRUE(fs.value().converged);
  }
}

TEST(Drivers, CubicRegressionSmoothEndToEnd) {
  // A single cr smooth: one penalty on every column but the intercept, so
  // edf_total − edf_per_term = 1; the record's predictor rebuilds the model
  // matrix of the fit.
  const std::size_t n = 400;
  std::mt19937_64 gen(17);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 0.3);
  Matrix cov(n, 1);
  Vector y(n), f(n);
  for (std::size_t i = 0; i < n; ++i) {
    cov(i, 0) = u(gen);
    f[i] = std::sin(kTwoPi * cov(i, 0));
    y[i] = f[i] + z(gen);
  }
  auto d = build_cr_design(cov.view(), 10);
  ASSERT_TRUE(d.ok()) << d.error().display();
  const Matrix x = d.value().x;
  auto r = fit_gaussian(std::move(d).value(), y, std::nullopt);
  ASSERT_TRUE(r.ok()) << r.error().display();
  const FittedGam& g = r.value();
  EXPECT_TRUE(g.converged);
  EXPECT_NEAR(g.edf_total - g.edf_per_term[0], 1.0, 1e-8);
  EXPECT_NEAR(g.scale, 0.09, 0.02);
  auto rebuilt = predictor_evaluate(g.predictor, cov.view());
  ASSERT_TRUE(rebuilt.ok());
  EXPECT_EQ(rebuilt.value(), x);
  double ss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double e = 0.0;
    for (std::size_t j = 0; j < x.cols(); ++j) e += x(i, j) * g.beta[j];
    ss += (e - f[i]) * (e - f[i]);
  }
  EXPECT_LT(std::sqrt(ss / n), 0.06);
}

TEST(Drivers, BadInputIsRejectedWithTheRow) {
  auto design = [](std::size_t n) { return bump_sim(n, 4, 3).design; };
  const Vector ok = {0.0, 1.0, 0.0, 1.0, 1.0};
  const Vector unit_w(5, 1.0);
  struct Case {
    std::string want;
    Result<FittedGam> got;
  };
  const double nan = kNaN, inf = std::numeric_limits<double>::infinity();
  const Vector bad_w = {1.0, 1.0, -0.5, 1.0, 1.0};
  const Vector nan_w = {1.0, nan, 1.0, 1.0, 1.0};
  std::vector<Case> cases;
  cases.push_back({"x and y must have the same number of rows; got x.nrows()=5, y.len()=4",
                   fit_std_family<Bernoulli>(design(5), Vector(4, 0.0), std::nullopt)});
  cases.push_back({"prior_weights length must match x rows; got weights.len()=3, x.nrows()=5",
                   fit_std_family<Bernoulli>(design(5), Vector(5, 7.0), Vector(3, 1.0))});
  cases.push_back({"Bernoulli requires y in [0, 1]; got y=1.5 at row 3",
                   fit_std_family<Bernoulli>(design(5), Vector{0, 1, 0, 1.5, 2}, unit_w)});
  cases.push_back(
      {"QuasiBinomial requires y in [0, 1]; got y=NaN at row 1",
       fit_std_family<QuasiBinomial>(design(5), Vector{0, nan, 0, 1, 1}, std::nullopt)});
  cases.push_back({"Gamma requires y > 0; got y=0 at row 0",
                   fit_std_family<GammaLog>(design(5), Vector{0, 1, 1, 1, 1}, std::nullopt)});
  cases.push_back(
      {"InverseGaussian requires y > 0; got y=-0.0000001 at row 2",
       fit_std_family<InverseGaussian>(design(5), Vector{1, 1, -1e-7, 1, 1}, std::nullopt)});
  cases.push_back({"QuasiPoisson requires y ≥ 0; got y=-2 at row 4",
                   fit_std_family<QuasiPoisson>(design(5), Vector{1, 1, 1, 1, -2}, std::nullopt)});
  cases.push_back({"y must be finite; got y=NaN at row 2",
                   fit_std_family<Poisson>(design(5), Vector{1, 1, nan, -1, 1}, std::nullopt)});
  cases.push_back({"y must be finite; got y=inf at row 1",
                   fit_std_family<GammaInverse>(design(5), Vector{1, inf, 1, 1, 1}, std::nullopt)});
  cases.push_back({"y must be finite; got y=-inf at row 0",
                   fit_gaussian(design(5), Vector{-inf, 1, 1, 1, 1}, std::nullopt)});
  cases.push_back({"prior_weights must be finite and non-negative; got weight=-0.5 at row 2",
                   fit_std_family<Poisson>(design(5), ok, bad_w)});
  cases.push_back({"prior_weights must be finite and non-negative; got weight=NaN at row 1",
                   fit_gaussian(design(5), ok, nan_w)});
  // After the checks above: rows that carry information.
  const Vector y8 = {0, 1, 1, 0, 1, 0, 1, 1};
  const Vector three_zero = {1, 0, 1, 0, 1, 1, 0, 1};
  const std::string all_zero =
      "prior_weights are all zero or below the smallest normal number; at least one row needs a "
      "positive weight";
  cases.push_back(
      {"the model has 6 coefficients but only 5 rows of positive prior weight; it "
       "needs at least as many rows as coefficients",
       fit_std_family<Poisson>(design(8), y8, three_zero)});
  cases.push_back({all_zero, fit_gaussian(design(8), y8, Vector(8, 0.0))});
  cases.push_back({all_zero, fit_std_family<QuasiPoisson>(design(8), y8, Vector(8, 1e-310))});
  for (const Case& c : cases) {
    ASSERT_FALSE(c.got.ok()) << c.want;
    EXPECT_EQ(c.got.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(c.got.error().message, c.want);
  }
}

}  // namespace
}  // namespace quelt

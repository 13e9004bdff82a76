// The saturated log-likelihood of the Gamma and inverse Gaussian scores with
// precision weights (row dispersion φ/w_i), against the log-densities at
// μ = y written out here, and the scores that contain it.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "core/linalg.hpp"
#include "inner_problems.hpp"
#include "score/envelope.hpp"
#include "score/gamma_scale.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::Problem;

constexpr double kLog2Pi = 1.8378770664093453;

// ln f(y | μ = y) of one row with dispersion φ/w: the Gamma density with
// shape α = w/φ and rate α/μ, and the inverse Gaussian density with
// λ = w/φ, f = (λ/(2πy³))^½ exp(−λ(y − μ)²/(2μ²y)).
double gamma_log_density_at_mean(double y, double w, double phi) {
  const double alpha = w / phi, rate = alpha / y;
  return alpha * std::log(rate) + (alpha - 1.0) * std::log(y) - rate * y - std::lgamma(alpha);
}
double inverse_gaussian_log_density_at_mean(double y, double w, double phi) {
  return 0.5 * (std::log(w / phi) - kLog2Pi - 3.0 * std::log(y));
}

template <class Density>
double saturated_by_rows(const Vector& y, const std::optional<Vector>& w, double phi,
                         Density density) {
  double s = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double wi = w ? (*w)[i] : 1.0;
    if (wi > 0.0) s += density(y[i], wi, phi);
  }
  return s;
}

// Weight sets: none, unit weights given, weights of several sizes with
// repeats and zeros, a common weight, and a different weight on every row
// (more than kScaleNodes of them when n is).
std::vector<std::optional<Vector>> weight_sets(std::size_t n) {
  Vector mixed(n), common(n, 2.5), spread(n);
  for (std::size_t i = 0; i < n; ++i) {
    mixed[i] = i % 7 == 3 ? 0.0 : 0.25 + 0.5 * (i % 5);
    spread[i] = 0.2 * std::exp(3.0 * std::fmod(0.6180339887 * i, 1.0));
  }
  return {std::nullopt, Vector(n, 1.0), mixed, common, spread};
}

Vector positive_response(const Problem& pr, double shape, unsigned seed) {
  const Vector f = testing::signal(pr, 0.5, 0.2);
  Vector mu(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) mu[i] = std::exp(f[i]);
  return testing::gamma_draws(mu, shape, seed);
}

TEST(SaturatedLoglik, GammaIsTheLogDensityOfEachRowAtItsOwnDispersion) {
  const Problem pr = bump_problem(60, 1, 4, 3);
  const Vector y = positive_response(pr, 3.0, 5);
  for (const auto& w : weight_sets(y.size())) {
    const SaturatedSums sums = saturated_sums(y, w);
    for (double phi : {1e-4, 0.3, 1.0, 7.0}) {
      const double want = saturated_by_rows(y, w, phi, gamma_log_density_at_mean);
      EXPECT_NEAR(gamma_saturated_loglik(sums, phi), want, 1e-11 * (std::fabs(want) + 1.0))
          << "phi " << phi << " weighted " << w.has_value();
    }
  }
}

// The score written out: ½log|H| + D_p/(2φ) − ½log|S_λ|₊ − (Mp/2)·ln(2πφ)
// − ls(φ), with H = Xᵀdiag(W)X + S_λ at the fit's means (W the weights whose
// log-determinant the family's score takes), S_λ the bump ridges (log|S_λ|₊
// = Σ_j k ρ_j) and ls the rows' log-densities at μ = y.
template <class F, class Weight, class Density>
double score_by_hand(const FitContext<F>& ctx, const Vector& rho, const InnerFit& fit, double phi,
                     Weight weight, Density density) {
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols();
  Matrix h = total_penalty(ctx.penalties, rho, p);
  for (std::size_t i = 0; i < n; ++i) {
    const double wi =
        weight(ctx.y[i], fit.mu[i], ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0);
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t b = 0; b < p; ++b) h(a, b) += wi * ctx.x(i, a) * ctx.x(i, b);
  }
  auto l = cholesky(h);
  EXPECT_TRUE(l.ok());
  double dp = fit.deviance, log_det_s = 0.0;
  for (std::size_t j = 0; j < rho.size(); ++j) {
    dp += std::exp(rho[j]) * quadratic_form(ctx.penalties[j], fit.beta);
    log_det_s += static_cast<double>(ctx.penalty_ranks[j]) * rho[j];
  }
  const double mp = static_cast<double>(ctx.null_space_dim);
  return 0.5 * log_det_from_cholesky(l.value()) + dp / (2.0 * phi) - 0.5 * log_det_s -
         0.5 * mp * (kLog2Pi + std::log(phi)) -
         saturated_by_rows(ctx.y, ctx.prior_weights, phi, density);
}

struct ScoreCase {
  double score;
  double phi;
  double phi_slope;  // φ·∂V/∂φ of the written-out score at the score's φ
  double rows;
};

template <class F, class Weight, class Density>
ScoreCase score_case(const Problem& pr, const Vector& y, const std::optional<Vector>& w,
                     const Vector& rho, Weight weight, Density density) {
  InnerOptions o;
  o.tol = 1e-13;
  const auto ctx = make_fit_context(pr.design, y, w, F{}, o);
  auto fit = fit_at_rho(ctx, rho);
  EXPECT_TRUE(fit.ok());
  auto es = envelope_score(ctx, rho, fit.value());
  EXPECT_TRUE(es.ok());
  const double phi = es.value().scale;
  const auto by_hand = [&](double at) {
    return score_by_hand(ctx, rho, fit.value(), at, weight, density);
  };
  EXPECT_NEAR(es.value().score, by_hand(phi), 1e-9 * std::fabs(by_hand(phi)));
  constexpr double h = 1e-4;
  const double slope = (by_hand(phi * (1 + h)) - by_hand(phi * (1 - h))) / (2 * h);
  return {es.value().score, phi, slope, static_cast<double>(ctx.moments.n_obs)};
}

// Fisher weight of the Gamma log link, w; full-Newton weight of the inverse
// Gaussian log link, w·(1/μ)·(1 + 2(y − μ)/μ).
double gamma_log_weight(double, double, double w) { return w; }
double inverse_gaussian_newton_weight(double y, double mu, double w) {
  return w / mu * (1.0 + 2.0 * (y - mu) / mu);
}

TEST(SaturatedLoglik, ScoresEqualTheirWrittenOutFormAndIgnoreTheUnitsOfTheWeights) {
  const Problem pr = bump_problem(400, 2, 5, 31);
  const Vector rho{0.5, 1.5};
  const Vector gamma_y = positive_response(pr, 4.0, 7), ig_y = positive_response(pr, 60.0, 8);
  for (const auto& w : weight_sets(gamma_y.size())) {
    for (double c : {1.0, 1e-3, 40.0}) {
      std::optional<Vector> wc = w ? w : std::optional<Vector>(Vector(gamma_y.size(), 1.0));
      for (double& v : *wc) v *= c;
      const Vector rho_c{rho[0] + std::log(c), rho[1] + std::log(c)};
      const ScoreCase base =
          score_case<GammaLog>(pr, gamma_y, w, rho, gamma_log_weight, gamma_log_density_at_mean);
      const ScoreCase g =
          score_case<GammaLog>(pr, gamma_y, wc, rho_c, gamma_log_weight, gamma_log_density_at_mean);
      // φ profiles the score: the written-out score is stationary there
      // (a relative error δ in φ gives φ·∂V/∂φ of about n·δ).
      EXPECT_LT(std::fabs(g.phi_slope), 1e-7 * g.rows) << "gamma c " << c;
      // Precision weights: φ and λ follow c, the score does not move.
      EXPECT_NEAR(g.phi, c * base.phi, 1e-9 * c * base.phi) << "gamma c " << c;
      EXPECT_NEAR(g.score, base.score, 1e-9 * std::fabs(base.score)) << "gamma c " << c;
      const ScoreCase ib = score_case<InverseGaussian>(
          pr, ig_y, w, rho, inverse_gaussian_newton_weight, inverse_gaussian_log_density_at_mean);
      const ScoreCase ig =
          score_case<InverseGaussian>(pr, ig_y, wc, rho_c, inverse_gaussian_newton_weight,
                                      inverse_gaussian_log_density_at_mean);
      EXPECT_LT(std::fabs(ig.phi_slope), 1e-7 * ig.rows) << "inverse gaussian c " << c;
      EXPECT_NEAR(ig.phi, c * ib.phi, 1e-9 * c * ib.phi) << "inverse gaussian c " << c;
      EXPECT_NEAR(ig.score, ib.score, 1e-9 * std::fabs(ib.score)) << "inverse gaussian c " << c;
    }
  }
}

}  // namespace
}  // namespace quelt

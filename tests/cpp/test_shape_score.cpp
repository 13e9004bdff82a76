// Pieces of the shape-aware score shared by its families: the implicit-
// function Hessian, and prior weights counted as repeated rows.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "derivative_check.hpp"
#include "family/families.hpp"
#include "family/ocat.hpp"
#include "inner/pirls.hpp"
#include "inner/pirls_shape.hpp"
#include "inner_problems.hpp"
#include "score/ift_hessian.hpp"
#include "score/shape_negbin.hpp"
#include "score/shape_ocat.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tdist.hpp"
#include "score/shape_terms.hpp"
#include "score/shape_tweedie.hpp"

namespace quelt {
namespace {

using testing::bump_problem;
using testing::DiffScale;
using testing::Problem;

// Penalized weighted least squares with fixed weights W and responses z:
// f(ρ) = ½(D(β̂) + β̂ᵀS_λβ̂) + ½log|XᵀWX + S_λ|, D(β) = Σ_i w_i(z_i − x_iβ)², β̂
// the minimiser. Its Hessian over ρ is exactly what hess_ift forms, so the
// two agree to the precision of the differences; the gradient here is
// written with dense elimination, apart from the library.
TEST(IftHessian, ExactForPenalizedWeightedLeastSquares) {
  const Problem pr = bump_problem(120, 3, 4, 31);
  const Matrix& x = pr.design.x;
  const std::size_t n = x.rows(), p = x.cols(), m = pr.design.penalties.size();
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unif(0.2, 2.0);
  Vector w(n), z = testing::normal_draws(testing::signal(pr, 1.0, 0.0), 0.3, 4);
  for (double& v : w) v = unif(rng);
  Matrix a(p, p);
  Vector xtwz(p, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t r = 0; r < p; ++r) {
      xtwz[r] += w[i] * x(i, r) * z[i];
      for (std::size_t c = 0; c < p; ++c) a(r, c) += w[i] * x(i, r) * x(i, c);
    }
  auto system = [&](const Vector& rho) {
    Matrix h = a;
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t c = 0; c < p; ++c)
          h(r, c) += std::exp(rho[j]) * pr.design.penalties[j](r, c);
    return h;
  };
  // ∂f/∂ρ_k = ½λ_k β̂ᵀS_kβ̂ + ½λ_k tr(H⁻¹S_k) (β̂ minimises the quadratic).
  auto gradient = [&](const Vector& rho) {
    const Matrix h = system(rho);
    const Vector beta = testing::dense_solve(h, xtwz);
    Vector g(m);
    for (std::size_t k = 0; k < m; ++k) {
      const Matrix& s = pr.design.penalties[k];
      double q = 0.0, tr = 0.0;
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t c = 0; c < p; ++c) q += beta[r] * s(r, c) * beta[c];
      for (std::size_t c = 0; c < p; ++c) {
        Vector col(p);
        for (std::size_t r = 0; r < p; ++r) col[r] = s(r, c);
        tr += testing::dense_solve(h, col)[c];
      }
      g[k] = 0.5 * std::exp(rho[k]) * (q + tr);
    }
    return g;
  };
  auto hessian = [&](const Vector& rho) {
    const Matrix h = system(rho);
    const Vector beta = testing::dense_solve(h, xtwz);
    Matrix h_inv(p, p);
    for (std::size_t c = 0; c < p; ++c) {
      Vector e(p, 0.0);
      e[c] = 1.0;
      const Vector col = testing::dense_solve(h, e);
      for (std::size_t r = 0; r < p; ++r) h_inv(r, c) = col[r];
    }
    for (std::size_t r = 0; r < p; ++r)
      for (std::size_t c = r + 1; c < p; ++c)
        h_inv(r, c) = h_inv(c, r) = 0.5 * (h_inv(r, c) + h_inv(c, r));
    Vector lambda(m);
    for (std::size_t j = 0; j < m; ++j) lambda[j] = std::exp(rho[j]);
    const Vector r = neg2_weighted_residual(x.view(), w, z, beta);
    const Matrix xtwx = row_scaled_product(x.view(), w);
    return hess_ift({pr.design.penalties, lambda, beta, h_inv, xtwx, r, 1.0});
  };
  for (const Vector& rho : {Vector{0.0, 0.0, 0.0}, Vector{2.0, -1.0, 3.5}, Vector{-3.0, 1.0, 0.5}})
    testing::expect_hessian_matches(gradient, hessian, rho,
                                    {1e-6, 1e-9, DiffScale::LargestDifference, 1e-4}, "pwls");
  // No smoothing parameters: an empty block.
  const Matrix h_inv(p, p), xtwx(p, p);
  const Vector zeros(p, 0.0);
  EXPECT_EQ(hess_ift({pr.design.penalties, Vector{}, zeros, h_inv, xtwx, zeros, 1.0}).rows(), 0u);
}

// Prior weights are frequency weights: a row of weight 2 is that row twice,
// in the deviance, the saturated likelihood, H and every derivative of the
// score.
template <class F>
void expect_weights_repeat_rows(F family, const Vector& y, const Problem& pr, const Vector& theta,
                                const char* name) {
  const std::size_t n = y.size(), p = pr.design.x.cols();
  Vector w(n, 1.0);
  std::size_t extra = 0;
  for (std::size_t i = 0; i < n; i += 3, ++extra) w[i] = 2.0;
  ModelDesign dup = pr.design;
  dup.x = Matrix(n + extra, p);
  Vector ydup(n + extra);
  std::size_t r = 0;
  for (std::size_t i = 0; i < n; ++i)
    for (int c = 0; c < (w[i] == 2.0 ? 2 : 1); ++c, ++r) {
      for (std::size_t k = 0; k < p; ++k) dup.x(r, k) = pr.design.x(i, k);
      ydup[r] = y[i];
    }
  const InnerOptions tight{200, 1e-13, 10};
  auto weighted = make_fit_context(pr.design, y, std::optional<Vector>(w), family, tight);
  auto repeated = make_fit_context(dup, ydup, std::nullopt, family, tight);
  const auto a = laml_gradient(weighted, theta).value();
  const auto b = laml_gradient(repeated, theta).value();
  EXPECT_NEAR(a.first, b.first, 1e-9 * std::fabs(b.first)) << name;
  for (std::size_t j = 0; j < theta.size(); ++j)
    EXPECT_NEAR(a.second[j], b.second[j], 1e-7 * (1.0 + std::fabs(b.second[j])))
        << name << " " << j;
}

TEST(ShapeScore, WeightsCountAsRepeatedRows) {
  const Problem pr = bump_problem(150, 2, 5, 37);
  std::mt19937_64 rng(8);
  std::student_t_distribution<double> td(4.0);
  Vector yt = testing::signal(pr, 1.0, 0.0);
  for (double& v : yt) v += 0.3 * td(rng);
  expect_weights_repeat_rows(tdist_identity(5.0, 1.0), yt, pr,
                             Vector{0.5, 1.0, std::log(0.09), 0.5}, "tdist");
  // Tweedie: counts of gamma amounts, many zeros.
  Vector yw = testing::poisson_draws(testing::signal(pr, 0.7, 0.0), 9);
  const Vector g = testing::gamma_draws(Vector(yw.size(), 1.0), 2.0, 10);
  for (std::size_t i = 0; i < yw.size(); ++i) yw[i] *= g[i];
  Tweedie tw = tweedie_log(1.5, 1.0);
  tw.estimate_p = true;
  expect_weights_repeat_rows(tw, yw, pr, Vector{0.5, 1.0, std::log(1.2), 0.3}, "tweedie");
  // Negative binomial: overdispersed counts.
  Vector mu = testing::signal(pr, 0.8, 1.0);
  for (double& v : mu) v = std::exp(v);
  Vector lam = testing::gamma_draws(mu, 3.0, 11);
  for (double& v : lam) v = std::log(v);
  expect_weights_repeat_rows(negbin_log(2.0), testing::poisson_draws(lam, 12), pr,
                             Vector{0.5, 1.0, std::log(3.0)}, "negbin");
  // Ordered categories 1..4: a latent signal with logistic noise cut at −1, 0, 1.
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  Vector yo = testing::signal(pr, 1.5, 0.0);
  for (double& v : yo) {
    const double u = unif(rng), latent = v + std::log(u / (1.0 - u));
    v = latent < -1.0 ? 1.0 : latent < 0.0 ? 2.0 : latent < 1.0 ? 3.0 : 4.0;
  }
  expect_weights_repeat_rows(ocat_identity(4).value(), yo, pr, Vector{0.5, 1.0, 0.2, -0.1}, "ocat");
}

// The negative binomial fit at given θ iterates on the observed information
// and stops at the stationary point of its penalized deviance:
// Xᵀ∂D/∂η + 2S_λβ = 0 with ∂D_i/∂η_i = −2w_i(y_i − μ_i)θ/(θ + μ_i).
TEST(ShapeScore, NegativeBinomialFitIsStationary) {
  const Problem pr = bump_problem(400, 2, 5, 43);
  const Vector y = testing::poisson_draws(testing::signal(pr, 0.8, 1.0), 12);
  Vector w(y.size());
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = 0.5 + static_cast<double>(i % 3);
  const auto ctx = make_fit_context(pr.design, y, std::optional<Vector>(w), negbin_log(1.0),
                                    InnerOptions{100, 1e-13, 10});
  const Vector rho{0.5, 2.0};
  for (const double theta : {0.5, 3.0, 1e3}) {
    const InnerFit fit = pirls_shape(ctx, negbin_log(theta), rho).value();
    EXPECT_TRUE(fit.converged) << theta;
    const Matrix& x = pr.design.x;
    const std::size_t p = x.cols();
    Vector g(p, 0.0);
    double scale = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      const double d = -2.0 * w[i] * (y[i] - fit.mu[i]) * theta / (theta + fit.mu[i]);
      for (std::size_t a = 0; a < p; ++a) g[a] += d * x(i, a);
      scale += std::fabs(d);
    }
    for (std::size_t j = 0; j < rho.size(); ++j)
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b)
          g[a] += 2.0 * std::exp(rho[j]) * pr.design.penalties[j](a, b) * fit.beta[b];
    for (std::size_t a = 0; a < p; ++a) EXPECT_NEAR(g[a], 0.0, 1e-8 * scale) << theta << " " << a;
  }
}

// The weight-derivative terms of the ρ-gradient: for weights that follow η
// (Poisson, W_i = μ_i, A_i = ∂³D_i/∂η_i³ = 2μ_i) the derivative of log|H|
// along ρ_k is λ_k tr(H⁻¹S_k) + u_k, against central differences of log|H|
// over refits.
TEST(ShapeScore, WeightDerivativeTermsFollowTheWeights) {
  const Problem pr = bump_problem(300, 2, 5, 47);
  const Vector y = testing::poisson_draws(testing::signal(pr, 0.8, 1.0), 13);
  const auto ctx =
      make_fit_context(pr.design, y, std::nullopt, poisson_log(), InnerOptions{100, 1e-14, 10});
  auto fit_at = [&](const Vector& rho) {
    return pirls(ctx, total_penalty(ctx.penalties, rho, ctx.p())).value();
  };
  auto log_det_h = [&](const Vector& rho) {
    const InnerFit f = fit_at(rho);
    Matrix h = xtwx(ctx.x.view(), f.mu.data());
    const Matrix s = total_penalty(ctx.penalties, rho, ctx.p());
    for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += s.data()[i];
    return log_det_from_cholesky(cholesky(std::move(h)).value());
  };
  auto gradient = [&](const Vector& rho) {
    const InnerFit f = fit_at(rho);
    Matrix h = xtwx(ctx.x.view(), f.mu.data());
    const Matrix s = total_penalty(ctx.penalties, rho, ctx.p());
    for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += s.data()[i];
    const Matrix h_inv = inverse_from_cholesky(cholesky(std::move(h)).value().view());
    Vector lambda(rho.size()), a(y.size());
    for (std::size_t k = 0; k < rho.size(); ++k) lambda[k] = std::exp(rho[k]);
    for (std::size_t i = 0; i < y.size(); ++i) a[i] = 2.0 * f.mu[i];
    Vector g = weight_derivative_rho_terms(ctx.x.view(), h_inv, f.beta, ctx.penalties, lambda, a,
                                           leverages(ctx.x.view(), h_inv));
    for (std::size_t k = 0; k < rho.size(); ++k)
      g[k] += lambda[k] * frobenius_dot(h_inv, ctx.penalties[k]);
    return g;
  };
  for (const Vector& rho : {Vector{0.0, 1.0}, Vector{3.0, -2.0}})
    testing::expect_gradient_matches(log_det_h, gradient, rho,
                                     {1e-6, 1e-8, DiffScale::LargestAnalytic, 1e-4}, "poisson");
}

}  // namespace
}  // namespace quelt

// Small seeded test problems for the inner fits and the REML score: a model
// matrix [1 | x_1, bumps_1 | x_2, bumps_2 | ...] with one ridge penalty per
// covariate on its centred Gaussian bumps (so each penalty has its own
// block, rank k and log pseudo-determinant 0, and the null space is the
// intercept and the linear columns), plus a plain IRLS for reference fits.
#pragma once

#include <cmath>
#include <random>
#include <vector>

#include "core/lapack.hpp"
#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "family/link.hpp"
#include "inner/fit_context.hpp"

namespace quelt::testing {

struct Problem {
  ModelDesign design;
  std::vector<Vector> cov;  // covariate columns in [0, 1]
};

inline Problem bump_problem(std::size_t n, std::size_t ncov, std::size_t k, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  Problem pr;
  pr.cov.assign(ncov, Vector(n));
  for (auto& c : pr.cov)
    for (double& v : c) v = unif(rng);
  const std::size_t p = 1 + ncov * (k + 1);
  Matrix x(n, p);
  for (std::size_t i = 0; i < n; ++i) x(i, 0) = 1.0;
  for (std::size_t t = 0; t < ncov; ++t) {
    const std::size_t c0 = 1 + t * (k + 1);
    for (std::size_t i = 0; i < n; ++i) x(i, c0) = pr.cov[t][i] - 0.5;
    for (std::size_t b = 0; b < k; ++b) {
      const double centre = (b + 0.5) / static_cast<double>(k);
      const double width = 1.0 / static_cast<double>(k);
      double mean = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double d = (pr.cov[t][i] - centre) / width;
        x(i, c0 + 1 + b) = std::exp(-0.5 * d * d);
        mean += x(i, c0 + 1 + b);
      }
      mean /= static_cast<double>(n);
      for (std::size_t i = 0; i < n; ++i) x(i, c0 + 1 + b) -= mean;
    }
    Matrix s(p, p);
    for (std::size_t b = 0; b < k; ++b) s(c0 + 1 + b, c0 + 1 + b) = 1.0;
    pr.design.penalties.push_back(s);
    pr.design.penalty_ranks.push_back(k);
    pr.design.penalty_log_pdets.push_back(0.0);
    pr.design.penalty_groups.push_back({t});
  }
  pr.design.x = std::move(x);
  pr.design.null_space_dim = 1 + ncov;
  return pr;
}

// A smooth signal on the covariates: sum_t sin(2 pi (t+1) x_t) / (t+1).
inline Vector signal(const Problem& pr, double scale, double offset) {
  const std::size_t n = pr.cov[0].size();
  Vector f(n, offset);
  for (std::size_t t = 0; t < pr.cov.size(); ++t)
    for (std::size_t i = 0; i < n; ++i)
      f[i] += scale * std::sin(6.283185307179586 * (t + 1) * pr.cov[t][i]) / (t + 1);
  return f;
}

inline Vector poisson_draws(const Vector& eta, unsigned seed) {
  std::mt19937_64 rng(seed);
  Vector y(eta.size());
  for (std::size_t i = 0; i < eta.size(); ++i)
    y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta[i]))(rng));
  return y;
}

inline Vector bernoulli_draws(const Vector& eta, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  Vector y(eta.size());
  for (std::size_t i = 0; i < eta.size(); ++i)
    y[i] = unif(rng) < 1.0 / (1.0 + std::exp(-eta[i])) ? 1.0 : 0.0;
  return y;
}

// Gamma draws with mean mu and shape `shape`.
inline Vector gamma_draws(const Vector& mu, double shape, unsigned seed) {
  std::mt19937_64 rng(seed);
  Vector y(mu.size());
  for (std::size_t i = 0; i < mu.size(); ++i)
    y[i] = std::gamma_distribution<double>(shape, mu[i] / shape)(rng);
  return y;
}

inline Vector normal_draws(const Vector& mean, double sd, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd(0.0, sd);
  Vector y(mean.size());
  for (std::size_t i = 0; i < mean.size(); ++i) y[i] = mean[i] + nd(rng);
  return y;
}

// Solves the small dense system A b = r by Gaussian elimination with partial
// pivoting (independent of the library's Cholesky path).
inline Vector dense_solve(Matrix a, Vector r) {
  const std::size_t p = r.size();
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t piv = c;
    for (std::size_t i = c + 1; i < p; ++i)
      if (std::fabs(a(i, c)) > std::fabs(a(piv, c))) piv = i;
    for (std::size_t j = 0; j < p; ++j) std::swap(a(c, j), a(piv, j));
    std::swap(r[c], r[piv]);
    for (std::size_t i = c + 1; i < p; ++i) {
      const double f = a(i, c) / a(c, c);
      for (std::size_t j = c; j < p; ++j) a(i, j) -= f * a(c, j);
      r[i] -= f * r[c];
    }
  }
  Vector b(p);
  for (std::size_t c = p; c-- > 0;) {
    double acc = r[c];
    for (std::size_t j = c + 1; j < p; ++j) acc -= a(c, j) * b[j];
    b[c] = acc / a(c, c);
  }
  return b;
}

// log|det A| by elimination with partial pivoting.
inline double dense_log_abs_det(Matrix a) {
  const std::size_t p = a.rows();
  double acc = 0.0;
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t piv = c;
    for (std::size_t i = c + 1; i < p; ++i)
      if (std::fabs(a(i, c)) > std::fabs(a(piv, c))) piv = i;
    for (std::size_t j = 0; j < p; ++j) std::swap(a(c, j), a(piv, j));
    acc += std::log(std::fabs(a(c, c)));
    for (std::size_t i = c + 1; i < p; ++i) {
      const double f = a(i, c) / a(c, c);
      for (std::size_t j = c; j < p; ++j) a(i, j) -= f * a(c, j);
    }
  }
  return acc;
}

// Plain penalized IRLS for a canonical or log link GLM: the columns `cols`
// of X, penalty `s` on those columns (may be all zero), Fisher scoring with
// mean function mu(eta), dmu/deta and variance V(mu), run to a fixed number
// of iterations. Written without any of the library's fitting code.
template <class MuFn, class DmuFn, class VarFn>
Vector reference_irls(const Matrix& x, const std::vector<std::size_t>& cols, const Matrix& s,
                      const Vector& y, Vector eta, MuFn mu_of, DmuFn dmu_of, VarFn var_of,
                      int iters = 60) {
  const std::size_t n = y.size(), q = cols.size();
  Vector beta(q, 0.0);
  for (int it = 0; it < iters; ++it) {
    Matrix a(q, q);
    Vector r(q, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      const double mu = mu_of(eta[i]);
      const double d = dmu_of(eta[i]);
      const double w = d * d / var_of(mu);
      const double z = eta[i] + (y[i] - mu) / d;
      for (std::size_t a1 = 0; a1 < q; ++a1) {
        const double xa = x(i, cols[a1]);
        r[a1] += w * xa * z;
        for (std::size_t b1 = 0; b1 < q; ++b1) a(a1, b1) += w * xa * x(i, cols[b1]);
      }
    }
    for (std::size_t a1 = 0; a1 < q; ++a1)
      for (std::size_t b1 = 0; b1 < q; ++b1) a(a1, b1) += s(a1, b1);
    beta = dense_solve(a, r);
    for (std::size_t i = 0; i < n; ++i) {
      double e = 0.0;
      for (std::size_t a1 = 0; a1 < q; ++a1) e += x(i, cols[a1]) * beta[a1];
      eta[i] = e;
    }
  }
  return beta;
}

}  // namespace quelt::testing

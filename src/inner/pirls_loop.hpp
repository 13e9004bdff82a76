// Definitions of the generic PIRLS loop and its step test (declared in
// inner/pirls.hpp). A family joins by specialising Working<Family>
// (inner/working.hpp) and instantiating these templates.
#pragma once

#include <cmath>
#include <string>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "family/link.hpp"
#include "inner/pirls.hpp"
#include "inner/working.hpp"

namespace quelt {

namespace pirls_detail {

// beta^T S beta.
inline double quad_form(const Matrix& s, const Vector& beta) {
  const std::size_t p = beta.size();
  double acc = 0.0;
  for (std::size_t a = 0; a < p; ++a) {
    const double* row = s.row_ptr(a);
    double u = 0.0;
    for (std::size_t b = 0; b < p; ++b) u += row[b] * beta[b];
    acc += beta[a] * u;
  }
  return acc;
}

template <Link L>
inline void apply_inverse_link(const Vector& eta, Vector& mu) {
  mu.resize(eta.size());
  for (std::size_t i = 0; i < eta.size(); ++i) mu[i] = inverse_link<L>(eta[i]);
}

// H + s element by element.
inline void add_into(Matrix& h, const Matrix& s) {
  double* hd = h.data();
  const double* sd = s.data();
  for (std::size_t i = 0; i < h.size(); ++i) hd[i] += sd[i];
}

}  // namespace pirls_detail

template <class Family>
bool pirls_reject_step(const FitContext<Family>& ctx, bool first, double p_old, double theta,
                       std::span<const double> eta_new, const Vector* mu_new, double p_new) {
  if (!std::isfinite(p_new)) return true;
  if (mu_new == nullptr) invariant_failed("PIRLS halving always provides μ");
  const Vector& mu = *mu_new;
  const std::size_t n = eta_new.size();
  check_invariant(mu.size() >= n && ctx.y.size() >= n,
                  "pirls_reject_step: mean or response shorter than the linear predictor");
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(eta_new[i])) return true;
    if (!std::isfinite(mu[i])) return true;
    if (!std::isfinite(Working<Family>::unit_deviance(ctx.y[i], mu[i]))) return true;
  }
  if (first) return false;
  return p_new - p_old > theta;
}

template <class Family>
Result<InnerFit> pirls(const FitContext<Family>& ctx, Matrix s_lambda,
                       const std::optional<Vector>& beta0) {
  using W = Working<Family>;
  constexpr Link kLink = Family::link;
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols();
  const MatrixView X = ctx.x.view();
  check_invariant(ctx.y.size() == n, "pirls: y and the model matrix differ in rows");
  check_invariant(s_lambda.rows() == p && s_lambda.cols() == p,
                  "pirls: total penalty is not p x p");
  check_invariant(!beta0 || beta0->size() == p, "pirls: warm start is not of length p");
  check_invariant(!ctx.prior_weights || ctx.prior_weights->size() == n,
                  "pirls: prior weights differ in length from y");
  check_invariant(!ctx.eta_start || ctx.eta_start->size() == n || ctx.eta_start->size() == 1,
                  "pirls: eta_start has neither n entries nor one");

  // S1-S6: prior weights, starting linear predictor, mean and deviance.
  const Vector wp = ctx.prior_weights ? *ctx.prior_weights : Vector(n, 1.0);
  Vector eta;
  if (beta0) {
    eta = matvec(X, *beta0);
  } else {
    const Vector mu0 = ctx.family.initial_mu(ctx.y);
    eta.resize(n);
    for (std::size_t i = 0; i < n; ++i) eta[i] = W::link(mu0[i]);
  }
  if (ctx.eta_start) {
    const Vector& es = *ctx.eta_start;
    for (std::size_t i = 0; i < n; ++i) eta[i] = es.size() == 1 ? es[0] : es[i];
  }
  Vector mu;
  pirls_detail::apply_inverse_link<kLink>(eta, mu);
  double d_old = ctx.family.deviance(ctx.y, mu, wp);
  Vector beta(p, 0.0);
  Vector xbeta(n, 0.0);  // X beta of the accepted beta (zero before the first acceptance)
  double p_old = d_old;
  Vector w(n), z(n);
  std::optional<Matrix> chol;
  std::size_t iterations = 0;
  bool converged = false;

  const std::size_t max_iter = ctx.inner_options.max_iter;
  const double tol = ctx.inner_options.tol;
  Vector eta_new, mu_new;
  for (std::size_t k = 0; k < max_iter; ++k) {
    // I1-I3: working quantities and the penalized weighted least-squares solve.
    for (std::size_t i = 0; i < n; ++i) {
      const WorkingPair wz = W::pair(ctx.y[i], mu[i], eta[i], wp[i]);
      w[i] = wz.w;
      z[i] = wz.z;
    }
    Matrix h = xtwx(X, w.data());
    pirls_detail::add_into(h, s_lambda);
    const Vector r = xtwz(X, w.data(), z);
    auto solved = chol_solve_penalized(h, r);
    if (!solved.ok()) {
      QueltError e = std::move(solved).take_error();
      if (e.kind == QueltError::Kind::SingularSystem)
        return QueltError::singular_system("PIRLS factor: " + e.message);
      return e;
    }
    auto [l_new, beta_new] = std::move(solved).value();

    // I4-I7: trial and step halving towards the accepted beta.
    auto evaluate = [&](double& d_new) {
      eta_new = matvec(X, beta_new);
      pirls_detail::apply_inverse_link<kLink>(eta_new, mu_new);
      d_new = ctx.family.deviance(ctx.y, mu_new, wp);
      return d_new + pirls_detail::quad_form(s_lambda, beta_new);
    };
    double d_new = 0.0;
    double p_new = evaluate(d_new);
    const double theta = 10.0 * 1.4901161193847656e-8 * (std::fabs(p_old) + 0.1);
    const bool first = k == 0;
    bool reject = pirls_reject_step(ctx, first, p_old, theta, eta_new, &mu_new, p_new);
    for (std::size_t halvings = 0; reject && halvings < 100; ++halvings) {
      for (std::size_t j = 0; j < p; ++j) beta_new[j] = 0.5 * (beta_new[j] + beta[j]);
      p_new = evaluate(d_new);
      reject = pirls_reject_step(ctx, first, p_old, theta, eta_new, &mu_new, p_new);
    }
    if (reject) {  // halving failed: keep the last accepted state
      iterations = k + 1;
      converged = false;
      break;
    }

    // I8-I9: accept, then test the relative change of the deviance.
    beta = std::move(beta_new);
    eta.swap(eta_new);  // eta_new and mu_new are rebuilt by the next trial
    xbeta = eta;
    mu.swap(mu_new);
    chol = std::move(l_new);
    if (k >= 1 && std::fabs(d_old - d_new) / (std::fabs(d_old) + 1e-30) < tol) {
      d_old = d_new;
      iterations = k + 1;
      converged = true;
      break;
    }
    d_old = d_new;
    p_old = p_new;
    iterations = k + 1;
  }

  // F1: the accepted iteration's factor, or the ridged prior-weight matrix.
  if (!chol) {
    Matrix h0 = xtwx(X, wp.data());
    pirls_detail::add_into(h0, s_lambda);
    double dmax = 0.0;
    for (std::size_t i = 0; i < p; ++i) dmax = floor_at(dmax, std::fabs(h0(i, i)));
    const double ridge = 1e-12 * floor_at(dmax, 1.0);
    for (std::size_t i = 0; i < p; ++i) h0(i, i) += ridge;
    QUELT_TRY(Matrix l0, cholesky(std::move(h0)));
    chol = std::move(l0);
  }

  // F2-F5.
  InnerFit fit;
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const WorkingPair wz = W::pair(ctx.y[i], mu[i], eta[i], wp[i]);
    w[i] = wz.w;
    z[i] = wz.z;
    const double e = wz.z - eta[i];
    rss += wz.w * (e * e);
  }
  Vector dw(n);
  for (std::size_t i = 0; i < n; ++i) dw[i] = W::dw_deta(mu[i], eta[i], wp[i]);
  fit.beta = std::move(beta);
  fit.eta = std::move(eta);
  fit.mu = std::move(mu);
  fit.w = std::move(w);
  fit.z = std::move(z);
  fit.chol = std::move(*chol);
  fit.deviance = d_old;
  fit.weighted_rss = rss;
  fit.n = n;
  fit.p = p;
  fit.iterations = iterations;
  fit.dw_deta = std::move(dw);
  fit.x = X;
  fit.converged = converged;
  return fit;
}

}  // namespace quelt

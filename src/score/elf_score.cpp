#include "score/elf_score.hpp"

#include <cmath>
#include <cstring>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "design/penalty_groups.hpp"
#include "family/elf.hpp"
#include "inner/elf_fit.hpp"
#include "score/row_forms.hpp"

namespace quelt {

namespace {

// Sβ for a p x p penalty.
Vector penalty_times(const Matrix& s, const Vector& beta) {
  const std::size_t p = beta.size();
  Vector u(p, 0.0);
  for (std::size_t a = 0; a < p; ++a) {
    const double* row = s.row_ptr(a);
    double acc = 0.0;
    for (std::size_t c = 0; c < p; ++c) acc += row[c] * beta[c];
    u[a] = acc;
  }
  return u;
}

double dot(const Vector& a, const Vector& b) {
  double acc = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) acc += a[i] * b[i];
  return acc;
}

// W = Σ_i a_i (n without prior weights).
double total_weight(const FitContext<Elf>& ctx) {
  if (!ctx.prior_weights) return static_cast<double>(ctx.y.size());
  double w = 0.0;
  for (double a : *ctx.prior_weights) w += a;
  return w;
}

Matrix analytic_hessian(const FitContext<Elf>& ctx, const InnerFit& fit, const EnvelopeScore& es) {
  const std::size_t m = ctx.m(), p = fit.p;
  const Matrix& h_inv = es.h_inv;
  const Vector& lam = es.lambda;
  std::vector<Vector> u(m), v(m);
  std::vector<Matrix> a(m);
  for (std::size_t j = 0; j < m; ++j) {
    u[j] = penalty_times(ctx.penalties[j], fit.beta);
    v[j] = penalty_times(h_inv, u[j]);
    a[j] = gemm(h_inv.view(), ctx.penalties[j].view());
  }

  // s(j, k) = Σ_i w'_i·η_j[i]·q_k[i], η_j = −λ_j·Xv_j.
  Matrix s(m, m);
  if (fit.dw_deta && fit.x && p > 0 && m > 0) {
    const MatrixView x = *fit.x;
    const Vector& wd = *fit.dw_deta;
    const std::vector<Vector> q = penalty_row_forms(x, h_inv, ctx.penalties);
    for (std::size_t j = 0; j < m; ++j) {
      const Vector xv = matvec(x, v[j]);
      for (std::size_t k = 0; k < m; ++k) {
        double acc = 0.0;
        for (std::size_t i = 0; i < x.rows; ++i) acc += wd[i] * (-lam[j] * xv[i]) * q[k][i];
        s(j, k) = acc;
      }
    }
  }

  Matrix hess(m, m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = j; k < m; ++k) {
      double tjk = 0.0;
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t c = 0; c < p; ++c) tjk += a[j](r, c) * a[k](c, r);
      double pjk = -lam[j] * lam[k] * tjk;
      if (j == k) pjk += lam[j] * es.trace_per_term[j];
      const double ejk = 0.5 * (-0.5 * lam[k] * s(j, k) - 0.5 * lam[j] * s(k, j));
      double qjk = -2.0 * lam[j] * lam[k] * dot(u[j], v[k]);
      if (j == k) qjk += lam[j] * es.bsb_per_term[j];
      double hjk = (0.5 * pjk + ejk) + 0.5 * qjk;
      if (es.log_det_s_hessian.rows() == m) hjk -= 0.5 * es.log_det_s_hessian(j, k);
      hess(j, k) = hjk;
      hess(k, j) = hjk;
    }
  return hess;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

Result<EnvelopeScore> envelope_score(const FitContext<Elf>& ctx, std::span<const double> rho,
                                     const InnerFit& fit) {
  const std::size_t m = ctx.m();
  check_invariant(rho.size() >= m && fit.beta.size() == fit.p && fit.chol.rows() == fit.p,
                  "ELF score: rho, coefficients or factor do not match the context");
  EnvelopeScore es;
  es.lambda.resize(rho.size());
  for (std::size_t j = 0; j < rho.size(); ++j) es.lambda[j] = std::exp(rho[j]);
  es.h_inv = inverse_from_cholesky(fit.chol.view());
  es.bsb_per_term.resize(m);
  es.trace_per_term.resize(m);
  double bsum = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    es.bsb_per_term[j] = quadratic_form(ctx.penalties[j], fit.beta);
    es.trace_per_term[j] = frobenius_dot(es.h_inv, ctx.penalties[j]);
    bsum += es.lambda[j] * es.bsb_per_term[j];
  }
  const double log_det_h = fit.chol.rows() == 0 ? 0.0 : log_det_from_cholesky(fit.chol);
  PenaltyLogDet ld = penalty_log_det(ctx.penalties, ctx.penalty_ranks, ctx.penalty_log_pdets,
                                     ctx.penalty_groups, rho);
  const Elf& f = ctx.family;
  const double ls = total_weight(ctx) * elf_log_normaliser(f.tau, f.sigma, f.lambda);
  const double mp = static_cast<double>(ctx.null_space_dim);

  es.score = (bsum + fit.deviance) * 0.5 + (mp / 2.0) * (-kLogTwoPi);
  es.score = es.score + log_det_h / 2.0 - ld.value / 2.0 - ls;
  es.grad.resize(m);
  for (std::size_t j = 0; j < m; ++j)
    es.grad[j] = 0.5 * es.lambda[j] * es.bsb_per_term[j] +
                 0.5 * es.lambda[j] * es.trace_per_term[j] - 0.5 * ld.grad[j];
  es.dscale_drho = Vector(m, 0.0);
  es.scale = 1.0;
  es.fd_hessian = false;
  es.log_det_s_hessian = std::move(ld.hessian);
  return es;
}

Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior) {
  InnerFit fit;
  if (prior && same_bits(prior->rho, rho)) {
    fit = std::move(prior->fit);
    prior.reset();
  } else {
    QUELT_TRY(InnerFit fresh, fit_elf_armijo(ctx, rho));
    fit = std::move(fresh);
  }
  ctx.fit_stats.inner_pirls_calls += 1;
  ctx.fit_stats.inner_pirls_iterations_total += static_cast<std::uint64_t>(fit.iterations);
  QUELT_TRY(EnvelopeScore es, envelope_score(ctx, rho, fit));
  OuterEval out;
  out.hessian = analytic_hessian(ctx, fit, es);
  ctx.scratch.give_fit(fit);
  out.grad = std::move(es.grad);
  out.score = es.score;
  return out;
}

Result<OuterEval> envelope_eval(FitContext<Elf>& ctx, std::span<const double> rho) {
  std::optional<PriorFit> none;
  return envelope_eval(ctx, rho, none);
}

}  // namespace quelt

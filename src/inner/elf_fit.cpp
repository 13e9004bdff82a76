#include "inner/elf_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/blas.hpp"
#include "core/format.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "family/elf.hpp"

namespace quelt {

namespace {

// Ridge of the Newton systems, relative to their largest diagonal entry: it
// damps a step without moving the point where the step vanishes.
constexpr double kNewtonRidgeRel = 1e-7;
// Absolute slack of the sufficient-decrease test: f is a sum of
// dimensionless losses, so rounding in a long sum must not reject the last
// small Newton steps.
constexpr double kArmijoSlack = 1e-10;
// Working weights at or below this leave z at η.
constexpr double kTinyWeight = 1e-12;

constexpr double kInf = std::numeric_limits<double>::infinity();

double prior_weight(const FitContext<Elf>& ctx, std::size_t i) {
  return ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
}

// One pass over the rows at η: returns Σ_i a_i·d_i over the rows of positive
// weight in row order (the context's far rows measured from their origins),
// or +∞ at the first term that is not finite; when `p` is given it receives
// p_i = logistic((y_i − η_i)/λ) (0.5 on rows of weight 0).
double loss_pass(const FitContext<Elf>& ctx, const Vector& eta, double* p) {
  const ElfLoss loss(ctx.family.tau, ctx.family.sigma, ctx.family.lambda);
  double sum = 0.0, pi = 0.5;
  auto far = ctx.far_rows.begin();
  const auto far_end = ctx.far_rows.end();
  for (std::size_t i = 0; i < eta.size(); ++i) {
    const double a = prior_weight(ctx, i);
    if (a == 0.0) {
      if (p) p[i] = 0.5;
      continue;
    }
    double d;
    if (far != far_end && far->row == i)
      d = a * elf_loss_change(loss, *far++, ctx.y[i], eta[i], pi);
    else
      d = a * loss.deviance(ctx.y[i] - eta[i], pi);
    if (!std::isfinite(d)) return kInf;
    sum += d;
    if (p) p[i] = pi;
  }
  return sum;
}

double objective_at(const FitContext<Elf>& ctx, const Matrix& s, const Vector& eta,
                    std::span<const double> beta, double* p) {
  const double loss = loss_pass(ctx, eta, p);
  if (loss == kInf) return kInf;
  return quadratic_form(s, beta) + loss;
}

// Xv into out (zeros when X has no columns).
void times_x(const FitContext<Elf>& ctx, const Vector& v, Vector& out) {
  out.resize(ctx.n());
  if (ctx.p() == 0)
    std::fill(out.begin(), out.end(), 0.0);
  else
    matvec_into(ctx.x.view(), v.data(), out.data());
}

// Xᵀdiag(ah)X and Xᵀag in one pass over row blocks of X.
void cross_products(MatrixView x, const Vector& ah, const Vector& ag, Matrix& h, Vector& b) {
  const std::size_t n = x.rows, p = x.cols;
  b.assign(p, 0.0);
  if (p == 0) {
    h = Matrix(0, 0);
    return;
  }
  WeightedGram gram(p);
  const std::size_t block = WeightedGram::block_rows(p);
  for (std::size_t r0 = 0; r0 < n; r0 += block) {
    const std::size_t nb = std::min(block, n - r0);
    const MatrixView xb = x.row_block(r0, nb);
    gram.add(xb, ah.data() + r0);
    add_xt_times(xb, ag.data() + r0, b.data());
  }
  h = gram.result();
}

// H + rI with r = 1e-7·max(1, max_j |H_jj|) (NaN entries ignored).
void add_ridge(Matrix& h) {
  double top = 1.0;
  for (std::size_t j = 0; j < h.rows(); ++j) top = std::fmax(top, std::fabs(h(j, j)));
  const double r = kNewtonRidgeRel * top;
  for (std::size_t j = 0; j < h.rows(); ++j) h(j, j) += r;
}

void add_into(Matrix& h, const Matrix& s) {
  for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += s.data()[i];
}

// Every |v_j| below tol (a NaN entry is not).
bool all_below(const Vector& v, double tol) {
  for (double x : v)
    if (!(std::fabs(x) < tol)) return false;
  return true;
}

}  // namespace

double elf_penalized_objective(const FitContext<Elf>& ctx, const Matrix& s_lambda,
                               std::span<const double> beta) {
  const Vector b(beta.begin(), beta.end());
  Vector eta;
  times_x(ctx, b, eta);
  return objective_at(ctx, s_lambda, eta, beta, nullptr);
}

Result<InnerFit> fit_elf_armijo(const FitContext<Elf>& ctx, std::span<const double> rho) {
  const std::size_t n = ctx.n(), p = ctx.p();
  check_invariant(ctx.y.size() == n && (!ctx.prior_weights || ctx.prior_weights->size() == n),
                  "fit_elf_armijo: y or weights do not match the model matrix");
  check_invariant(!ctx.beta_start || ctx.beta_start->size() == p,
                  "fit_elf_armijo: beta_start does not match the model matrix");
  const Matrix s = total_penalty(ctx.penalties, rho, p);
  const Elf& fam = ctx.family;
  const double tau = fam.tau, sigma = fam.sigma, lambda = fam.lambda;
  if (!(tau > 0.0 && tau < 1.0))
    return QueltError::invalid_parameter("ELF τ must be in (0, 1); got " + fmt_float(tau));
  if (!(sigma > 0.0 && lambda > 0.0))
    return QueltError::invalid_parameter("ELF σ and λ must be > 0; got σ=" + fmt_float(sigma) +
                                         " λ=" + fmt_float(lambda));
  const MatrixView X = ctx.x.view();
  const InnerOptions& opt = ctx.inner_options;

  // Row-length work arrays from the context's pool: η and p of the current
  // coefficients, their trial counterparts, Xd, and the weighted g and h.
  Vector eta = ctx.scratch.take(n), pr = ctx.scratch.take(n);
  Vector eta_t = ctx.scratch.take(n), pr_t = ctx.scratch.take(n);
  Vector xd = ctx.scratch.take(n), ag = ctx.scratch.take(n), ah = ctx.scratch.take(n);
  auto release = [&ctx](Vector& v) { ctx.scratch.give(std::move(v)); };

  Vector beta = ctx.beta_start ? *ctx.beta_start : Vector(p, 0.0);
  times_x(ctx, beta, eta);
  double f = objective_at(ctx, s, eta, beta, pr.data());
  if (f == kInf) {
    // p at a start whose loss is not finite (only reached through extreme
    // starts); the first Newton step then decides.
    for (std::size_t i = 0; i < n; ++i) pr[i] = elf_logistic((ctx.y[i] - eta[i]) / lambda);
  }

  Vector beta_t(p);
  std::optional<Matrix> h_moved;  // H of the last iteration that moved β
  bool converged = false;
  std::size_t k = 0;
  while (k < opt.max_iter) {
    // a·g and a·h at η; the largest residual of a row that counts.
    double rmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = prior_weight(ctx, i);
      ag[i] = a * elf_gradient(pr[i], tau, sigma);
      ah[i] = a * elf_curvature(pr[i], sigma, lambda);
      if (a > 0.0) rmax = std::fmax(rmax, std::fabs(ctx.y[i] - eta[i]));
    }
    Matrix h;
    Vector b;
    cross_products(X, ah, ag, h, b);
    add_into(h, s);
    const Vector sb = p > 0 ? matvec(s.view(), beta) : Vector();
    for (std::size_t j = 0; j < p; ++j) b[j] -= sb[j];
    Matrix a = h;
    add_ridge(a);
    auto factor = potrf_lower(std::move(a));
    if (!factor.ok()) {
      for (Vector* v : {&eta, &pr, &eta_t, &pr_t, &xd, &ag, &ah}) release(*v);
      return QueltError::singular_system("ELF Cholesky: " + factor.error().message);
    }
    const Matrix& l = factor.value();
    Vector d = chol_back_solve(l, chol_forward_solve(l, b));
    k += 1;

    // Cap the move of the linear predictor at the residual range plus λ.
    times_x(ctx, d, xd);
    double xmax = 0.0;
    for (double v : xd) xmax = std::fmax(xmax, std::fabs(v));
    const double bound = rmax + lambda;
    if (xmax > bound) {
      const double c = bound / xmax;
      for (double& v : d) v *= c;
      for (double& v : xd) v *= c;
    }
    const bool step_small = all_below(d, opt.tol);

    bool accepted = false;
    double t = 1.0, f_t = kInf;
    for (std::size_t j = 0; j < opt.max_backtrack; ++j) {
      for (std::size_t c = 0; c < p; ++c) beta_t[c] = beta[c] + t * d[c];
      for (std::size_t i = 0; i < n; ++i) eta_t[i] = eta[i] + t * xd[i];
      f_t = objective_at(ctx, s, eta_t, beta_t, pr_t.data());
      if (std::isfinite(f_t) && f_t <= f + kArmijoSlack) {
        accepted = true;
        break;
      }
      t *= 0.5;
    }
    if (!accepted) {
      converged = step_small;
      break;
    }
    double delta = 0.0;
    for (std::size_t c = 0; c < p; ++c) delta = std::fmax(delta, std::fabs(beta_t[c] - beta[c]));
    std::swap(beta, beta_t);
    std::swap(eta, eta_t);
    std::swap(pr, pr_t);
    f = f_t;
    h_moved = std::move(h);
    if (delta < opt.tol) {
      converged = true;
      break;
    }
  }
  for (Vector* v : {&eta_t, &pr_t, &xd, &ag, &ah}) release(*v);

  // The record at Xβ (the loop moved η by increments).
  InnerFit fit;
  fit.n = n;
  fit.p = p;
  fit.iterations = k;
  fit.converged = converged;
  times_x(ctx, beta, eta);
  fit.w = ctx.scratch.take(n);
  fit.z = ctx.scratch.take(n);
  fit.dw_deta = ctx.scratch.take(n);
  fit.deviance = loss_pass(ctx, eta, pr.data());
  if (fit.deviance == kInf)
    for (std::size_t i = 0; i < n; ++i) pr[i] = elf_logistic((ctx.y[i] - eta[i]) / lambda);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = prior_weight(ctx, i);
    const double wu = elf_curvature(pr[i], sigma, lambda);
    fit.w[i] = a * wu;
    fit.z[i] = wu > kTinyWeight ? eta[i] + elf_gradient(pr[i], tau, sigma) / wu : eta[i];
    (*fit.dw_deta)[i] = a * elf_curvature_deta(pr[i], sigma, lambda);
  }
  release(pr);
  fit.weighted_rss = fit.deviance;
  Matrix hf;
  if (h_moved) {
    hf = std::move(*h_moved);
  } else {
    hf = xtwx(X, fit.w.data());
    add_into(hf, s);
  }
  // The factor of H itself, so that log|H|, H⁻¹ and the derivatives of the
  // score belong to the matrix whose inverse moves β; the ridged matrix only
  // where H is not positive definite.
  auto own = potrf_lower(hf);
  if (own.ok()) {
    fit.chol = std::move(own).value();
  } else {
    add_ridge(hf);
    auto ridged = cholesky(std::move(hf));
    if (!ridged.ok()) {
      ctx.scratch.give_fit(fit);
      release(eta);
      return std::move(ridged).take_error();
    }
    fit.chol = std::move(ridged).value();
  }
  fit.beta = std::move(beta);
  fit.mu = ctx.scratch.take(n);
  std::copy(eta.begin(), eta.end(), fit.mu.begin());
  fit.eta = std::move(eta);
  fit.x = X;
  return fit;
}

}  // namespace quelt

#include "inner/elf_fit.hpp"

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

// Ridge of every factored system, relative to its largest diagonal entry.
constexpr double kNewtonRidgeRel = 1e-7;
// Absolute slack of the sufficient-decrease test: f is a sum of
// dimensionless losses, so rounding in a long sum must not reject the last
// small Newton steps.
constexpr double kArmijoSlack = 1e-10;
// Working weights at or below this leave z at eta.
constexpr double kTinyWeight = 1e-12;

constexpr double kInf = std::numeric_limits<double>::infinity();

double prior_weight(const FitContext<Elf>& ctx, std::size_t i) {
  return ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
}

// sum_i a_i d_i over the rows of positive weight, in row order; +inf at the
// first term that is not finite.
double loss_sum(const FitContext<Elf>& ctx, const Vector& eta) {
  const Elf& f = ctx.family;
  double sum = 0.0;
  for (std::size_t i = 0; i < eta.size(); ++i) {
    const double a = prior_weight(ctx, i);
    if (a == 0.0) continue;
    const double d = a * elf_unit_deviance(ctx.y[i] - eta[i], f.tau, f.sigma, f.lambda);
    if (!std::isfinite(d)) return kInf;
    sum += d;
  }
  return sum;
}

double objective_at(const FitContext<Elf>& ctx, const Matrix& s, const Vector& eta,
                    std::span<const double> beta) {
  const double loss = loss_sum(ctx, eta);
  if (loss == kInf) return kInf;
  return quadratic_form(s, beta) + loss;
}

Vector linear_predictor(const FitContext<Elf>& ctx, const Vector& beta) {
  if (ctx.p() == 0) return Vector(ctx.n(), 0.0);
  return matvec(ctx.x.view(), beta);
}

// H + r I with r = 1e-7 max(1, max_j |H_jj|) (NaN entries ignored).
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
  return objective_at(ctx, s_lambda, linear_predictor(ctx, b), beta);
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

  Vector beta = ctx.beta_start ? *ctx.beta_start : Vector(p, 0.0);
  Vector eta = linear_predictor(ctx, beta);
  double f = objective_at(ctx, s, eta, beta);

  Vector ag(n), ah(n), beta_t(p), eta_t;
  std::optional<Matrix> h_moved;  // H of the last iteration that moved beta
  bool converged = false;
  std::size_t k = 0;
  while (k < opt.max_iter) {
    // a g and a h at eta; the largest residual of a row that counts.
    double rmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = prior_weight(ctx, i);
      const double r = ctx.y[i] - eta[i];
      const double pr = elf_logistic(r / lambda);
      ag[i] = a * elf_gradient(pr, tau, sigma);
      ah[i] = a * elf_curvature(pr, sigma, lambda);
      if (a > 0.0) rmax = std::fmax(rmax, std::fabs(r));
    }
    Matrix h = xtwx(X, ah.data());
    add_into(h, s);
    Vector b = p > 0 ? xtwz(X, nullptr, ag) : Vector();
    const Vector sb = p > 0 ? matvec(s.view(), beta) : Vector();
    for (std::size_t j = 0; j < p; ++j) b[j] -= sb[j];
    Matrix a = h;
    add_ridge(a);
    auto factor = potrf_lower(std::move(a));
    if (!factor.ok()) return QueltError::singular_system("ELF Cholesky: " + factor.error().message);
    const Matrix& l = factor.value();
    Vector d = chol_back_solve(l, chol_forward_solve(l, b));
    k += 1;

    // Cap the move of the linear predictor at the residual range plus lambda.
    Vector xd = linear_predictor(ctx, d);
    double xmax = 0.0;
    for (double v : xd) xmax = std::fmax(xmax, std::fabs(v));
    const double bound = rmax + lambda;
    if (xmax > bound) {
      const double c = bound / xmax;
      for (double& v : d) v *= c;
    }
    const bool step_small = all_below(d, opt.tol);

    bool accepted = false;
    double t = 1.0, f_t = kInf;
    for (std::size_t j = 0; j < opt.max_backtrack; ++j) {
      for (std::size_t c = 0; c < p; ++c) beta_t[c] = beta[c] + t * d[c];
      eta_t = linear_predictor(ctx, beta_t);
      f_t = objective_at(ctx, s, eta_t, beta_t);
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
    f = f_t;
    h_moved = std::move(h);
    if (delta < opt.tol) {
      converged = true;
      break;
    }
  }

  InnerFit fit;
  fit.n = n;
  fit.p = p;
  fit.iterations = k;
  fit.converged = converged;
  fit.w.resize(n);
  fit.z.resize(n);
  fit.dw_deta = Vector(n);
  double dev = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = prior_weight(ctx, i);
    const double r = ctx.y[i] - eta[i];
    const double pr = elf_logistic(r / lambda);
    const double wu = elf_curvature(pr, sigma, lambda);
    fit.w[i] = a * wu;
    fit.z[i] = wu > kTinyWeight ? eta[i] + elf_gradient(pr, tau, sigma) / wu : eta[i];
    (*fit.dw_deta)[i] = a * elf_curvature_deta(pr, sigma, lambda);
    if (a != 0.0) dev += a * elf_unit_deviance(r, tau, sigma, lambda);
  }
  fit.deviance = dev;
  fit.weighted_rss = dev;
  Matrix hf;
  if (h_moved) {
    hf = std::move(*h_moved);
  } else {
    hf = xtwx(X, fit.w.data());
    add_into(hf, s);
  }
  // The factor of H itself, so that log|H|, H^{-1} and the derivatives of
  // the score belong to the matrix whose inverse moves beta; the ridged
  // matrix only where H is not positive definite.
  auto own = potrf_lower(hf);
  if (own.ok()) {
    fit.chol = std::move(own).value();
  } else {
    add_ridge(hf);
    QUELT_TRY(fit.chol, cholesky(std::move(hf)));
  }
  fit.beta = std::move(beta);
  fit.mu = eta;
  fit.eta = std::move(eta);
  fit.x = X;
  return fit;
}

}  // namespace quelt

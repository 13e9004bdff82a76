#include "inner/full_newton.hpp"

#include <cmath>
#include <utility>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "family/ocat.hpp"

namespace quelt {

namespace {

// Floor of a working weight and of the curvature dividing the working
// response: a row of zero prior weight, or one whose cell probability is
// flat in η, keeps a positive weight.
constexpr double kWeightFloor = 1e-12;
// Halvings of a rejected step before it is abandoned.
constexpr int kMaxHalvings = 100;
// 2⁻²⁶: the relative rise of Q tolerated from the second iteration on.
constexpr double kRiseTolerance = 1.4901161193847656e-08;
// Where the open ends of the first and last cells put the start.
constexpr double kLowestStart = -2.0;
constexpr double kTopStartGap = 1.0;

// W and z at η (both n entries), from the derivatives of −2·ln P′.
struct NewtonWorking {
  Vector w, z;
};

NewtonWorking working_at(const FitContext<Ocat>& ctx, const Ocat& family, const Vector& eta) {
  const std::size_t n = eta.size();
  NewtonWorking out{Vector(n), Vector(n)};
  // d1 and d2 are written into z and w, then turned into the working pair.
  ocat_eta_derivatives(family, ctx.y, eta, out.z, out.w);
  const double* wp = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    const double d1 = out.z[i], d2 = out.w[i];
    out.w[i] = floor_at(0.5 * d2 * (wp ? wp[i] : 1.0), kWeightFloor);
    out.z[i] = eta[i] - d1 / floor_at(d2, kWeightFloor);
  }
  return out;
}

// max(1, max_j |a_jj|) over the diagonal in the design's basis (the ridge
// scale does not follow the rotation of the coefficients), NaN entries
// ignored.
double ridge_scale(const Matrix& a, const CoefficientRotation& r) {
  double s = 1.0;
  for (double d : design_diagonal(r, a)) s = floor_at(s, std::fabs(d));
  return s;
}

}  // namespace

Vector full_newton_start(const FitContext<Ocat>& ctx, const Ocat& family) {
  const std::size_t n = ctx.n(), r = family.n_cats;
  Vector eta(n);
  if (ctx.eta_start && !ctx.eta_start->empty()) {
    const Vector& e = *ctx.eta_start;
    for (std::size_t i = 0; i < n; ++i) eta[i] = e.size() == 1 ? e[0] : e[i];
    return eta;
  }
  const Vector cuts = ocat_cut_points(family);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t cat = ocat_category(ctx.y[i], r);
    const double lo = cat == 1 ? kLowestStart : cuts[cat - 1];
    const double hi = cat == r ? cuts[r - 1] + kTopStartGap : cuts[cat];
    eta[i] = 0.5 * (lo + hi);
  }
  return eta;
}

double full_newton_ridge(std::size_t m) { return (std::sqrt(static_cast<double>(m)) + 1.0) * 1e-5; }

Result<InnerFit> full_newton_fit(const FitContext<Ocat>& ctx, const Ocat& family,
                                 std::span<const double> rho) {
  const MatrixView x = ctx.x.view();
  const std::size_t n = x.rows, p = x.cols, m = ctx.m();
  check_invariant(rho.size() >= m && ctx.y.size() == n,
                  "full_newton_fit: rho or y does not match the context");
  const Matrix s_lambda = total_penalty(ctx.penalties, rho, p);
  const double eps = full_newton_ridge(m);
  const std::span<const double> wp =
      ctx.prior_weights ? std::span<const double>(*ctx.prior_weights) : std::span<const double>();
  auto deviance = [&](const Vector& eta) { return ocat_log_likelihood(ctx.y, family, eta, wp); };

  Vector beta(p, 0.0);
  Vector eta = full_newton_start(ctx, family);
  double dev = deviance(eta);
  double q_old = dev;
  bool converged = false;
  std::size_t iterations = 0;
  const std::size_t max_iter = ctx.inner_options.max_iter;
  const double tol = ctx.inner_options.tol;

  for (std::size_t k = 0; k < max_iter; ++k) {
    const NewtonWorking wk = working_at(ctx, family, eta);
    Matrix h = xtwx(x, wk.w.data());
    const Vector rhs = xtwz(x, wk.w.data(), wk.z);
    const double ridge = eps * ridge_scale(h, ctx.rotation);
    for (std::size_t a = 0; a < p * p; ++a) h.data()[a] += s_lambda.data()[a];
    for (std::size_t j = 0; j < p; ++j) h(j, j) += ridge;
    QUELT_TRY(Matrix l, cholesky(std::move(h)));
    Vector trial = chol_back_solve(l, chol_forward_solve(l, rhs));
    const Vector beta_prev = beta;

    Vector eta_new;
    double dev_new = 0.0, q_new = 0.0;
    auto evaluate = [&]() {
      eta_new = matvec(x, trial);
      dev_new = deviance(eta_new);
      q_new = dev_new + quadratic_form(s_lambda, trial);
    };
    const double thr = ((std::fabs(q_old) + 0.1) * 10.0) * kRiseTolerance;
    auto rejected = [&]() {
      if (!std::isfinite(q_new) || !all_finite(eta_new)) return true;
      if (k == 0) return false;
      return q_new - q_old > thr;
    };
    evaluate();
    bool reject = rejected();
    for (int halving = 0; reject && halving < kMaxHalvings; ++halving) {
      for (std::size_t j = 0; j < p; ++j) trial[j] = 0.5 * (trial[j] + beta_prev[j]);
      evaluate();
      reject = rejected();
    }

    if (!reject) {
      double delta = 0.0;
      for (std::size_t j = 0; j < p; ++j)
        delta = floor_at(delta, std::fabs(trial[j] - beta_prev[j]));
      beta = std::move(trial);
      eta = std::move(eta_new);
      dev = dev_new;
      if (k >= 1 && delta < tol) {
        converged = true;
        iterations = k + 1;
        break;
      }
      q_old = q_new;
    } else {
      // Abandoned: back to the previous coefficients, η = Xβ.
      beta = beta_prev;
      eta = matvec(x, beta);
      dev = deviance(eta);
      q_old = dev + quadratic_form(s_lambda, beta);
    }
    iterations = k + 1;
  }

  // The record at the final η.
  NewtonWorking wk = working_at(ctx, family, eta);
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double e = wk.z[i] - eta[i];
    rss += wk.w[i] * (e * e);
  }
  Matrix g = xtwx(x, wk.w.data());
  Matrix h = g;
  for (std::size_t a = 0; a < p * p; ++a) h.data()[a] += s_lambda.data()[a];
  const double ridge = eps * ridge_scale(h, ctx.rotation);
  for (std::size_t j = 0; j < p; ++j) h(j, j) += ridge;
  QUELT_TRY(Matrix l, cholesky(std::move(h)));

  InnerFit fit;
  fit.beta = std::move(beta);
  fit.mu = eta;
  fit.eta = std::move(eta);
  fit.w = std::move(wk.w);
  fit.z = std::move(wk.z);
  fit.chol = std::move(l);
  fit.deviance = dev;
  fit.weighted_rss = rss;
  fit.n = n;
  fit.p = p;
  fit.iterations = iterations;
  fit.x = x;
  fit.xtwx = std::move(g);
  fit.converged = converged;
  return fit;
}

}  // namespace quelt

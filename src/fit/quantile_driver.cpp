#include "fit/quantile_driver.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/blas.hpp"
#include "core/format.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "family/elf.hpp"
#include "fit/driver_common.hpp"
#include "fit/edf_vcov.hpp"
#include "fit/quantile_constants.hpp"
#include "inner/elf_fit.hpp"
#include "inner/fit_context.hpp"
#include "outer/outer_frame.hpp"
#include "outer/rho_newton.hpp"

namespace quelt {

namespace {

// Floor of the warm start's residual variance in the units of y/c, that is
// relative to the squared spread of y: keeps σ positive when the
// least-squares fit interpolates.
constexpr double kResidualFloorRel = 1e-6;
// Ridge of the warm start's system, relative to its largest diagonal entry.
constexpr double kWarmStartRidgeRel = 1e-7;

// Rows whose residual at the warm start lies beyond this many robust
// standard deviations √s of the residuals are far from the curve: their loss
// is a constant, which may dwarf the loss of all the other rows, plus a
// change bounded by 2|Δη|/σ. Measuring it from its warm-start value is exact
// at any distance (family/elf.hpp); the reach only decides which rows' loss
// the outer loop's tests treat as a constant of the score. Rows of normal
// noise never lie this far, those of heavy tails rarely.
constexpr double kFarRobustSds = 10.0;

double weight_of(const std::optional<Vector>& a, std::size_t i) { return a ? (*a)[i] : 1.0; }

struct WarmStart {
  Vector beta;     // start of every inner fit
  double s = 0.0;  // robust residual variance of the least-squares fit, floored
};

// Weighted penalized least squares at unit smoothing parameters, shifted by
// the residual τ-quantile q: β₀ = A⁻¹Xᵀdiag(a)(y + q), A = Xᵀdiag(a)X +
// Σ_j S_j + ridge.
Result<WarmStart> least_squares_start(const FitContext<Elf>& ctx, double total) {
  const std::size_t n = ctx.n(), p = ctx.p();
  const double* a = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  Matrix h = xtwx(ctx.x.view(), a);
  const Matrix s = total_penalty(ctx.penalties, Vector(ctx.m(), 0.0), p);
  double top = 1.0;
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t c = 0; c < p; ++c) h(j, c) += s(j, c);
    top = std::fmax(top, std::fabs(h(j, j)));
  }
  for (std::size_t j = 0; j < p; ++j) h(j, j) += kWarmStartRidgeRel * top;
  auto factor = potrf_lower(std::move(h));
  if (!factor.ok())
    return QueltError::singular_system("ELF warm-start Cholesky: " + factor.error().message);
  const Matrix& l = factor.value();
  auto solve = [&](const Vector& v) {
    const Vector r = xtwz(ctx.x.view(), a, v);
    return chol_back_solve(l, chol_forward_solve(l, r));
  };
  WarmStart ws;
  ws.beta = solve(clipped_response(ctx.y, ctx.prior_weights, total));
  const Vector fitted = p > 0 ? matvec(ctx.x.view(), ws.beta) : Vector(n, 0.0);
  Vector e(n);
  for (std::size_t i = 0; i < n; ++i) e[i] = ctx.y[i] - fitted[i];
  ws.s = robust_residual_variance(e, ctx.prior_weights, total, kResidualFloorRel);
  const double q = weighted_order_statistic(e, ctx.prior_weights, ctx.family.tau, total);
  const Vector shift = solve(Vector(n, q));
  for (std::size_t j = 0; j < p; ++j) ws.beta[j] += shift[j];
  return ws;
}

// Sets the context's far rows, those of positive weight whose residual at
// the warm start η⁰ = Xβ₀ lies beyond kFarRobustSds·√s, with their origins
// at η⁰, and returns ½Σ_far a_i·d_i(y_i − η⁰_i): the constant part of the
// score that their fits then leave out. Their loss measured from it keeps the
// precision of the score and of the inner fits' objective, and the outer
// loop's convergence tests, relative to the score, measure the score of the
// other rows. None (and 0) when that sum is not finite.
double set_far_rows(FitContext<Elf>& ctx, double s) {
  const std::size_t n = ctx.n();
  const Vector eta0 = ctx.p() > 0 ? matvec(ctx.x.view(), *ctx.beta_start) : Vector(n, 0.0);
  const ElfLoss loss(ctx.family.tau, ctx.family.sigma, ctx.family.lambda);
  const double reach = kFarRobustSds * std::sqrt(s);
  std::vector<ElfRowOrigin> far;
  double origin = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = weight_of(ctx.prior_weights, i);
    if (!(a > 0.0) || !(std::fabs(ctx.y[i] - eta0[i]) > reach)) continue;
    far.push_back(elf_row_origin(loss, i, ctx.y[i], eta0[i]));
    origin += a * elf_origin_loss(loss, far.back(), ctx.y[i]);
  }
  if (!std::isfinite(origin)) return 0.0;
  ctx.far_rows = std::move(far);
  return 0.5 * origin;
}

// H⁻¹(Xᵀdiag(a·g²)X + S_λ)H⁻¹ at the final fit.
Matrix sandwich_covariance(const FitContext<Elf>& ctx, const InnerFit& fit,
                           std::span<const double> rho) {
  const std::size_t n = ctx.n(), p = ctx.p();
  const Elf& f = ctx.family;
  Vector ag2(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double pr = elf_logistic((ctx.y[i] - fit.eta[i]) / f.lambda);
    const double g = elf_gradient(pr, f.tau, f.sigma);
    ag2[i] = weight_of(ctx.prior_weights, i) * g * g;
  }
  Matrix meat = xtwx(ctx.x.view(), ag2.data());
  const Matrix s = total_penalty(ctx.penalties, rho, p);
  for (std::size_t i = 0; i < meat.size(); ++i) meat.data()[i] += s.data()[i];
  const Matrix h_inv = inverse_from_cholesky(fit.chol.view());
  Matrix v = gemm(gemm(h_inv.view(), meat.view()).view(), h_inv.view());
  symmetrize_average(v);
  return v;
}

// Start and box of the log smoothing parameters: ρ = 0 and [−30, 30] for
// every coordinate, the convergence tests measured from the score's 0. They
// are taken in the units of y/c, so all three follow the units of y.
OuterFrame outer_start(std::size_t m) {
  OuterFrame f;
  f.start.assign(m, 0.0);
  f.bounds.assign(m, {-kRhoHalfWidth, kRhoHalfWidth});
  f.score_origin = 0.0;
  return f;
}

}  // namespace

Status check_quantile_data(std::size_t n_rows, std::span<const double> y,
                           const std::optional<Vector>& weights, const Elf& family) {
  QUELT_CHECK_OK(check_data_lengths(n_rows, y.size(), weights));
  if (n_rows == 0)
    return QueltError::invalid_parameter("Quantile (ELF) needs at least one observation; got n=0");
  if (!(family.tau > 0.0 && family.tau < 1.0))
    return QueltError::invalid_parameter(
        "Quantile (ELF) tau must be in the open interval (0, 1) — 0/1 are degenerate (point mass "
        "at min/max); got tau=" +
        fmt_float(family.tau));
  QUELT_CHECK_OK(check_finite_response(y));
  QUELT_CHECK_OK(check_prior_weights(weights));
  if (weights && std::none_of(weights->begin(), weights->end(), [](double w) { return w > 0.0; }))
    return QueltError::invalid_parameter("prior_weights must not all be zero");
  if (std::isinf(family.sigma) || std::isinf(family.lambda))
    return QueltError::invalid_parameter(
        "Quantile (ELF) elf_sigma and elf_lambda must be finite; got elf_sigma=" +
        fmt_float(family.sigma) + " elf_lambda=" + fmt_float(family.lambda));
  return ok_status();
}

Result<FittedGam> fit_elf_quantile(ModelDesign design, Vector y, std::optional<Vector> weights,
                                   Elf family) {
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_quantile_data(n, y, weights, family));

  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) total += weight_of(weights, i);
  const double c = response_unit(y, weights, total);
  // Rows of weight 0 are not data: their y/c is set to 0, so that a wild
  // value there cannot overflow on the way.
  for (std::size_t i = 0; i < n; ++i) y[i] = weight_of(weights, i) > 0.0 ? y[i] / c : 0.0;

  // The context takes the model matrix and penalties; design.predictor stays
  // for the record.
  FitContext<Elf> ctx =
      make_fit_context<Elf>(std::move(design), std::move(y), std::move(weights),
                            Elf{family.tau, 0.0, 0.0}, InnerOptions{50, 1e-7, 20});
  const std::size_t m = ctx.m(), p = ctx.p();
  // The fit works in the eigenbasis of the penalties, accurate at every λ
  // (inner/coefficient_rotation.hpp).
  use_penalty_eigenbasis(ctx);

  QUELT_TRY(WarmStart ws, least_squares_start(ctx, total));
  const bool sigma_given = family.sigma > 0.0, lambda_given = family.lambda > 0.0;
  ctx.family.sigma = sigma_given ? family.sigma / c : automatic_elf_sigma(ws.s, family.tau);
  ctx.family.lambda =
      lambda_given ? family.lambda / c : automatic_elf_lambda(ws.s, family.tau, total);
  ctx.beta_start = std::move(ws.beta);
  const double far_origin = set_far_rows(ctx, ws.s);

  QUELT_TRY(OuterResult r, newton_over_rho(ctx, outer_start(m)));

  // Final fit at the chosen ρ, not counted.
  QUELT_TRY(InnerFit fit, fit_elf_armijo(ctx, r.rho));
  FitOutcome out;
  out.edf_total = compute_edf_total(ctx.x.view(), fit.w, fit.chol);
  Vector edf_per_term =
      compute_edf_per_term(ctx.penalties, r.rho, p, fit.chol, ctx.rotation.penalty_widths);
  Matrix vcov = covariance_to_design(ctx.rotation, sandwich_covariance(ctx, fit, r.rho));
  fit.beta = coefficients_to_design(ctx.rotation, std::move(fit.beta));

  // Back to the units of y: β and σ scale by c, the covariance by c², λ_j by
  // c⁻², and the score moves by (W − Mp)·ln c (through log|H|, log|S_λ|₊ and
  // the normaliser of every observation).
  const double ln_c = std::log(c);
  for (double& b : fit.beta) b *= c;
  for (double& v : vcov.storage()) v = (v * c) * c;
  out.scale = sigma_given ? family.sigma : ctx.family.sigma * c;
  // A response whose spread is near either end of the float range leaves
  // the covariance, c² times that of y/c, beyond the normal doubles; the
  // estimated σ, c times its own, follows far behind (a σ given by the
  // caller is no estimate and is not checked).
  QUELT_CHECK_OK(check_units_range(sigma_given ? std::nan("") : out.scale, vcov, std::nullopt,
                                   "the loss smoothing σ"));
  out.rho = std::move(r.rho);
  for (double& v : out.rho) v -= 2.0 * ln_c;
  out.n_iters = r.n_iters;
  out.converged = r.converged && fit.converged;
  out.reml_value =
      (r.score + far_origin) + (total - static_cast<double>(ctx.null_space_dim)) * ln_c;
  return assemble_record(std::move(out), std::move(fit.beta), std::move(edf_per_term),
                         std::move(vcov), n, std::move(design.predictor), Link::Identity,
                         ctx.fit_stats);
}

}  // namespace quelt

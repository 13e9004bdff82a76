#include "outer/no_refresh_screen.hpp"

#include <cmath>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "inner/working_shape.hpp"
#include "score/shape_negbin.hpp"
#include "score/shape_score.hpp"
#include "score/warm_start.hpp"

namespace quelt {

namespace {

// Whether the cell was written at log θ = t for m penalties.
bool cache_matches(const FitContext<NegBin>& ctx, std::size_t m, double t) {
  const WarmStartCell::Shared guard = ctx.warm_start.borrow();
  const std::optional<WarmStartCache>& c = *guard;
  return c && c->lambda.size() == m && c->shape_tail.size() == 1 && c->shape_tail[0] == t;
}

// μ = e^η for a finite η whose mean does not overflow.
bool usable_mean(double eta, double& mu) {
  if (!std::isfinite(eta)) return false;
  mu = std::exp(eta);
  return !std::isinf(mu);
}

}  // namespace

std::optional<double> no_refresh_trial_score(const FitContext<NegBin>& ctx,
                                             std::span<const double> u) {
  const std::size_t m = ctx.m(), n = ctx.n(), p = ctx.p();
  if (u.size() != m + 1 || !cache_matches(ctx, m, u[m])) return std::nullopt;
  const std::span<const double> rho = u.first(m);
  const std::optional<Vector> beta0 = warm_start_beta(ctx.warm_start, m, rho);
  if (!beta0) return std::nullopt;

  const NegBin family = ShapeTraits<NegBin>::decode(ctx.family, u.subspan(m));
  const Working<NegBin> work{family};
  const MatrixView x = ctx.x.view();
  const double* a = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  InnerFit fit;
  fit.eta = matvec(x, *beta0);
  fit.mu.resize(n);
  fit.w.resize(n);
  fit.z.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!usable_mean(fit.eta[i], fit.mu[i])) return std::nullopt;
    const WorkingPair pr = work.pair(ctx.y[i], fit.mu[i], fit.eta[i], a ? a[i] : 1.0);
    fit.w[i] = pr.w;
    fit.z[i] = pr.z;
  }

  // One penalized least-squares step from β₀.
  Matrix h = xtwx(x, fit.w.data());
  const Vector b = xtwz(x, fit.w.data(), fit.z);
  const Matrix s = total_penalty(ctx.penalties, rho, p);
  for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += s.data()[i];
  add_relative_ridge(h);
  auto l = cholesky(std::move(h));
  if (!l.ok()) return std::nullopt;
  fit.chol = std::move(l).value();
  fit.beta = chol_back_solve(fit.chol, chol_forward_solve(fit.chol, b));
  for (double v : fit.beta)
    if (!std::isfinite(v)) return std::nullopt;

  fit.eta = matvec(x, fit.beta);
  for (std::size_t i = 0; i < n; ++i)
    if (!usable_mean(fit.eta[i], fit.mu[i])) return std::nullopt;
  fit.w.clear();
  fit.z.clear();
  fit.n = n;
  fit.p = p;
  fit.x = x;
  fit.deviance = family.deviance(
      ctx.y, fit.mu, a ? std::span<const double>(*ctx.prior_weights) : std::span<const double>());
  if (!std::isfinite(fit.deviance)) return std::nullopt;
  const double v = laml_score(ctx, fit, family, rho);
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace quelt

#include "score/shape_negbin.hpp"

#include <cmath>
#include <cstring>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "family/negbin.hpp"
#include "inner/pirls_shape.hpp"
#include "score/shape_score_impl.hpp"

namespace quelt {

namespace {

// Smallest magnitude of a diagonal entry of a factor whose log-determinant
// is trusted.
constexpr double kFactorDiagFloor = 1e-300;

std::span<const double> weights_of(const FitContext<NegBin>& ctx) {
  return ctx.prior_weights ? std::span<const double>(*ctx.prior_weights)
                           : std::span<const double>();
}

// ½D + ½log|H| − ls at θ on the fit's means: the part of V that moves with θ
// when β is held.
double theta_part(const FitContext<NegBin>& ctx, const InnerFit& fit, double theta,
                  const Matrix& s_lambda) {
  const NegBin f{theta};
  const std::optional<Matrix> l = negbin_hessian_factor(ctx, fit, theta, s_lambda);
  const double log_det_h = l ? log_det_from_cholesky(*l) : log_det_from_cholesky(fit.chol);
  return 0.5 * f.deviance(ctx.y, fit.mu, weights_of(ctx)) + 0.5 * log_det_h -
         ShapeTraits<NegBin>::saturated_loglik(ctx, f);
}

}  // namespace

NegBin ShapeTraits<NegBin>::decode(const NegBin& base, std::span<const double> tail) {
  check_invariant(!tail.empty(), "NegBin: the shape tail needs log θ");
  NegBin f = base;
  f.theta = std::exp(tail[0]);
  return f;
}

double ShapeTraits<NegBin>::saturated_loglik(const FitContext<NegBin>& ctx, const NegBin& f) {
  return negbin_saturated_loglik(ctx.y, f.theta, weights_of(ctx));
}

Result<InnerFit> ShapeTraits<NegBin>::inner_fit(const FitContext<NegBin>& ctx, const NegBin& f,
                                                std::span<const double> rho) {
  return pirls_shape(ctx, f, rho);
}

double ShapeTraits<NegBin>::log_det_h(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                      const NegBin& f, std::span<const double> rho) {
  const std::optional<double> v = log_det_hessian_negbin(ctx, fit, f.theta, rho);
  if (v) return *v;
  return fit.chol.rows() > 0 ? log_det_from_cholesky(fit.chol) : 0.0;
}

Vector ShapeTraits<NegBin>::dev_eta3(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                     const NegBin& f) {
  const std::size_t n = ctx.y.size();
  const std::span<const double> w = weights_of(ctx);
  Vector a(n);
  for (std::size_t i = 0; i < n; ++i)
    a[i] = 2.0 * negbin_observed_weight_deta(ctx.y[i], fit.mu[i], w.empty() ? 1.0 : w[i], f.theta);
  return a;
}

Vector ShapeTraits<NegBin>::shape_gradient(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                           const NegBin& f, const PenaltyPieces& pc) {
  const std::size_t p = ctx.p();
  Matrix s(p, p);
  for (std::size_t k = 0; k < ctx.m(); ++k) {
    const double* sk = ctx.penalties[k].data();
    for (std::size_t i = 0; i < s.size(); ++i) s.data()[i] += pc.lambda[k] * sk[i];
  }
  const double t = std::log(f.theta), h = kNegBinShapeStep;
  const double up = theta_part(ctx, fit, std::exp(t + h), s);
  const double down = theta_part(ctx, fit, std::exp(t - h), s);
  return {(up - down) / (2.0 * h)};
}

ShapeStart ShapeTraits<NegBin>::start(const FitContext<NegBin>& ctx, const NegBin& base, double) {
  ShapeStart s;
  const double t0 = std::log(base.theta);
  s.tail = {t0};
  s.tail_bounds = {{kNegBinLogThetaLow, kNegBinLogThetaHigh}};
  // The Fisher weight μθ/(θ + μ) at the mean count and the θ the search
  // starts from.
  const double theta = std::exp(std::fmin(std::fmax(t0, kNegBinLogThetaLow), kNegBinLogThetaHigh));
  const double ybar = ctx.moments.mean;
  const double w = ybar * theta / (theta + ybar);
  s.weight_level = w > 0.0 && std::isfinite(w) ? w : 1.0;
  // The origin of the tests (header): by it the magnitude they measure does
  // not grow with the level of the counts.
  const double wsum = ctx.moments.mean_weight * static_cast<double>(ctx.moments.n_obs);
  s.score_origin = ybar > 1.0 && std::isfinite(ybar) ? wsum * std::log(ybar) : 0.0;
  return s;
}

std::optional<Matrix> negbin_hessian_factor(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                            double theta, const Matrix& s_lambda) {
  const std::size_t n = ctx.y.size();
  check_invariant(fit.mu.size() >= n, "negbin_hessian_factor: fewer means than responses");
  const std::span<const double> a = weights_of(ctx);
  Vector w = ctx.scratch.take(n);
  bool finite = true;
  for (std::size_t i = 0; i < n && finite; ++i) {
    w[i] = negbin_observed_weight(ctx.y[i], fit.mu[i], a.empty() ? 1.0 : a[i], theta);
    finite = std::isfinite(w[i]);
  }
  if (!finite) {
    ctx.scratch.give(std::move(w));
    return std::nullopt;
  }
  // The fit's XᵀWX is this one when its weights are these to the bit (the
  // fit was made at this θ).
  const bool own = fit.xtwx && fit.w.size() == n &&
                   (n == 0 || std::memcmp(fit.w.data(), w.data(), n * sizeof(double)) == 0);
  Matrix h = own ? *fit.xtwx : xtwx(ctx.x.view(), w.data());
  ctx.scratch.give(std::move(w));
  const double* sd = s_lambda.data();
  for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += sd[i];
  symmetrize_average(h);
  auto l = cholesky(std::move(h));
  if (!l.ok()) return std::nullopt;
  Matrix factor = std::move(l).value();
  for (std::size_t i = 0; i < factor.rows(); ++i) {
    const double d = factor(i, i);
    if (!std::isfinite(d) || std::fabs(d) < kFactorDiagFloor) return std::nullopt;
  }
  return factor;
}

std::optional<double> log_det_hessian_negbin(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                             double theta, std::span<const double> rho) {
  const Matrix s = total_penalty(ctx.penalties, rho, ctx.p());
  const std::optional<Matrix> l = negbin_hessian_factor(ctx, fit, theta, s);
  if (!l) return std::nullopt;
  return log_det_from_cholesky(*l);
}

double negbin_score_at_theta(const FitContext<NegBin>& ctx, const InnerFit& fit,
                             std::span<const double> theta) {
  const std::size_t m = ctx.m();
  check_invariant(theta.size() == m + 1, "negbin_score_at_theta: theta needs m + 1 entries");
  const std::span<const double> rho = theta.first(m);
  const NegBin f = ShapeTraits<NegBin>::decode(ctx.family, theta.subspan(m));
  PenaltyPieces pc = shape_penalty_pieces(ctx, fit, rho, false);
  pc.dp = f.deviance(ctx.y, fit.mu, weights_of(ctx)) + pc.bsb_total;
  return laml_score(ctx, fit, f, rho, pc);
}

QUELT_SHAPE_SCORE_INSTANTIATE(NegBin)

}  // namespace quelt

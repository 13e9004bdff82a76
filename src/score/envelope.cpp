#include "score/envelope.hpp"

#include <cmath>
#include <vector>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "design/penalty_groups.hpp"
#include "inner/closed_form.hpp"
#include "inner/pirls.hpp"
#include "inner/working.hpp"
#include "score/data_units.hpp"
#include "score/gamma_scale.hpp"
#include "score/newton_terms.hpp"
#include "score/penalty_pieces.hpp"
#include "score/reml_hessian.hpp"
#include "score/score_fallback.hpp"
#include "score/warm_start.hpp"

namespace quelt {

namespace {

// Whole counts up to this size have y ln y − y looked up once per score.
constexpr std::size_t kCountTable = 4096;

// ls of the known-scale families, Σ_i w_i·ℓ(y_i) in row order with the
// prior weights, as the deviance is weighted.
template <class F>
double known_scale_saturated(const FitContext<F>& ctx) {
  double ls = 0.0;
  const std::size_t ny = ctx.y.size();
  if constexpr (F::saturated == Saturated::Poisson) {
    // ℓ(y) = y ln y − y for y > 0. Counts repeat: that of a small whole y is
    // computed once per call.
    std::vector<double> table(kCountTable + 1, 0.0);
    std::vector<char> known(kCountTable + 1, 0);
    for (std::size_t i = 0; i < ny; ++i) {
      const double y = ctx.y[i];
      const double wi = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
      if (!(y > 0.0)) continue;
      if (y <= static_cast<double>(kCountTable) && y == std::floor(y)) {
        const auto c = static_cast<std::size_t>(y);
        if (!known[c]) {
          table[c] = y * std::log(y) - y;
          known[c] = 1;
        }
        ls += wi * table[c];
      } else {
        ls += wi * (y * std::log(y) - y);
      }
    }
  } else {
    static_assert(F::saturated == Saturated::Binomial, "no known-scale form for this family");
    // ℓ(y) = q ln q + (1 − q) ln(1 − q), q the clamped y, for 0 < y < 1.
    for (std::size_t i = 0; i < ny; ++i) {
      const double y = ctx.y[i];
      const double wi = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
      if (y > 0.0 && y < 1.0) {
        const double q = binomial_clamp(y);
        ls += wi * (q * std::log(q) + (1.0 - q) * std::log(1.0 - q));
      }
    }
  }
  return ls;
}

}  // namespace

template <class Family>
Result<InnerFit> fit_at_rho(const FitContext<Family>& ctx, std::span<const double> rho,
                            const std::optional<Vector>& beta0) {
  if constexpr (requires { ctx.xtwx; }) {
    return solve_closed_form_gaussian(ctx, rho);
  } else {
    return pirls(ctx, total_penalty(ctx.penalties, rho, ctx.x.cols()), beta0);
  }
}

template <class Family>
Result<EnvelopeScore> envelope_score(const FitContext<Family>& ctx, std::span<const double> rho,
                                     const InnerFit& fit) {
  const std::size_t m = ctx.penalties.size();
  check_invariant(rho.size() >= m, "envelope_score: rho shorter than the penalty list");
  check_invariant(ctx.penalty_ranks.size() >= m && ctx.penalty_log_pdets.size() >= m,
                  "envelope_score: fewer ranks or log pseudo-determinants than penalties");
  check_invariant(fit.beta.size() == fit.p && fit.chol.rows() == fit.p,
                  "envelope_score: inner fit record is inconsistent");
  // Rows of zero prior weight are not data: n counts the others.
  const double n = static_cast<double>(ctx.moments.n_obs), p = static_cast<double>(fit.p);
  const double mp = static_cast<double>(ctx.null_space_dim);

  PenaltyPieces pc = penalty_pieces(ctx, fit, rho);
  const Vector& lambda = pc.lambda;
  const Vector& bsb = pc.bsb;
  const PenaltyLogDet& ld = pc.log_det_s;
  double log_det_h = fit.chol.rows() == 0 ? 0.0 : log_det_from_cholesky(fit.chol);
  const double dev = fit.deviance;
  const double dp = pc.dp;
  if constexpr (Family::information == Information::FullNewton) {
    if (auto nl = newton_log_det_h(ctx, rho, fit)) log_det_h = *nl;
  }

  EnvelopeScore es;
  es.grad.assign(m, 0.0);
  if constexpr (Family::scale == Scale::Known) {
    const double ls = known_scale_saturated(ctx);
    es.score = dp * 0.5 + (mp / 2.0) * (-kLogTwoPi);
    es.score = es.score + log_det_h / 2.0 - ld.value / 2.0 - ls;
    for (std::size_t j = 0; j < m; ++j)
      es.grad[j] = 0.5 * lambda[j] * bsb[j] + 0.5 * lambda[j] * pc.trace[j] - 0.5 * ld.grad[j];
    es.dscale_drho = Vector(m, 0.0);
    es.scale = 1.0;
  } else {
    // Estimated scale: admissibility first. A constant response is fitted
    // exactly at every ρ; its zero deviance is the data's, not a sign of
    // interpolation, and its scale sits at the floor.
    const DataUnits units = data_units(ctx);
    const bool exact = units.constant_y;
    if ((dev <= 0.0 && !exact) || (dp <= 0.0 && !exact) || p - pc.trace_total >= n || n - mp <= 0.0)
      return inadmissible_record(m, std::move(pc.lambda));
    // The saturated log-likelihood takes each row at its own dispersion
    // φ/w_i (precision weights); its sums run over the rows of positive
    // weight, n of them.
    double phi = 0.0, ls = 0.0, gamma_slope = 0.0;
    if constexpr (Family::saturated == Saturated::Gamma) {
      const GammaScale gs = gamma_profile_scale(dp, ctx.saturated, ctx.null_space_dim);
      phi = gs.phi;
      gamma_slope = gs.slope;
      ls = gs.ls;
    } else {
      static_assert(
          Family::saturated == Saturated::Normal || Family::saturated == Saturated::InverseGaussian,
          "no estimated-scale form for this family");
      phi = floor_at(dp / floor_at(n - mp, 1.0), kScaleFloorRel * units.dispersion);
      // −n/2·ln(2πφ), and for the inverse Gaussian Σ_i [½ ln w_i − 3/2 ln y_i].
      ls = n * (-0.5 * std::log(kTwoPi * phi));
      if constexpr (Family::saturated == Saturated::InverseGaussian)
        ls += 0.5 * ctx.saturated.sum_log_w - 1.5 * ctx.saturated.sum_log_y;
    }
    es.score = log_det_h / 2.0 + (dp / (2.0 * phi) + (-0.5 * mp * std::log(kTwoPi * phi))) -
               ld.value / 2.0 - ls;
    for (std::size_t j = 0; j < m; ++j)
      es.grad[j] =
          lambda[j] * bsb[j] / (phi + phi) + 0.5 * lambda[j] * pc.trace[j] - 0.5 * ld.grad[j];
    Vector c(m, 0.0);
    if constexpr (Family::saturated == Saturated::Gamma) {
      // ∂φ/∂ρ_j = −λ_j b_j / G′(φ) from the stationarity G(φ) = 0.
      if (!(std::fabs(gamma_slope) < kGammaFlatSlope))
        for (std::size_t j = 0; j < m; ++j) c[j] = bsb[j] * ((-1.0 / gamma_slope) * lambda[j]);
    } else {
      // ∂φ/∂ρ_j = λ_j b_j/(n − Mp).
      for (std::size_t j = 0; j < m; ++j) c[j] = lambda[j] * bsb[j] / (n - mp);
    }
    es.dscale_drho = std::move(c);
    if constexpr (Family::information == Information::FullNewton) {
      // The score takes log|H_N|, so its derivative takes the trace from
      // H_N⁻¹ as well; the fit's factor differs from H_N wherever PIRLS
      // fell back to Fisher weights (responses below half their means).
      if (auto nt = newton_weight_gradient_terms(ctx, rho, fit)) {
        for (std::size_t j = 0; j < m; ++j)
          es.grad[j] = 0.5 * nt->k[j] + (lambda[j] * bsb[j] / (phi + phi) +
                                         0.5 * lambda[j] * nt->trace[j] - 0.5 * ld.grad[j]);
        es.fd_hessian = true;
      }
    }
    es.scale = phi;
  }
  es.lambda = std::move(pc.lambda);
  es.bsb_per_term = std::move(pc.bsb);
  es.trace_per_term = std::move(pc.trace);
  es.h_inv = std::move(pc.h_inv);
  es.log_det_s_hessian = std::move(pc.log_det_s.hessian);
  return es;
}

template <class Family>
Result<std::pair<double, Vector>> envelope_score_at_rho(const FitContext<Family>& ctx,
                                                        std::span<const double> rho) {
  QUELT_TRY(InnerFit fit, fit_at_rho(ctx, rho, std::nullopt));
  auto es = envelope_score(ctx, rho, fit);
  ctx.scratch.give_fit(fit);
  if (!es.ok()) return std::move(es).take_error();
  return std::pair<double, Vector>(es.value().score, std::move(es.value().grad));
}

namespace {

template <class Family>
Matrix analytic_hessian(const FitContext<Family>& ctx, const InnerFit& fit,
                        const EnvelopeScore& es) {
  const std::size_t m = ctx.penalties.size(), p = fit.p;
  Matrix own_h_inv;
  if (es.h_inv.rows() != p) own_h_inv = inverse_from_cholesky(fit.chol.view());
  const Matrix& h_inv = es.h_inv.rows() == p ? es.h_inv : own_h_inv;
  // v_j = H⁻¹S_jβ, with H the observed-information matrix where it differs
  // from the fit's Fisher matrix (then −λ_j v_j is dβ/dρ_j).
  std::optional<Matrix> h_obs_inv;
  if constexpr (Family::information == Information::ObservedSlope) {
    if (fit.x) {
      const Working<Family> work{ctx.family};
      Vector wo(fit.n);
      for (std::size_t i = 0; i < fit.n; ++i) {
        const double wp = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
        wo[i] = work.observed_weight(ctx.y[i], fit.mu[i], wp);
      }
      Matrix ho = xtwx(*fit.x, wo.data());
      Matrix s = Matrix(p, p);
      for (std::size_t j = 0; j < m; ++j)
        for (std::size_t i = 0; i < s.size(); ++i)
          s.data()[i] += es.lambda[j] * ctx.penalties[j].data()[i];
      for (std::size_t i = 0; i < ho.size(); ++i) ho.data()[i] += s.data()[i];
      auto f = cholesky(std::move(ho));
      if (f.ok()) h_obs_inv = inverse_from_cholesky(f.value().view());
    }
  }
  const Matrix& h_move = h_obs_inv ? *h_obs_inv : h_inv;
  std::vector<Vector> u(m), v(m);
  for (std::size_t j = 0; j < m; ++j) {
    u[j] = small_matvec(ctx.penalties[j], fit.beta);
    v[j] = small_matvec(h_move, u[j]);
  }
  Matrix weight_sums;
  if (Family::has_weight_derivative_terms && fit.dw_deta && fit.x)
    weight_sums = weight_derivative_sums(*fit.x, *fit.dw_deta, h_inv, ctx.penalties, v, es.lambda);
  return reml_hessian({ctx.penalties, h_inv, es.lambda, es.trace_per_term, es.bsb_per_term, u, v,
                       weight_sums, es.scale, *es.dscale_drho, es.log_det_s_hessian});
}

}  // namespace

template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho) {
  std::optional<PriorFit> none;
  return envelope_eval(ctx, rho, none);
}

template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior) {
  const std::size_t m = ctx.penalties.size();
  std::optional<Vector> beta0;
  if constexpr (Family::uses_warm_start) beta0 = envelope_warm_start_beta(ctx, rho);
  std::optional<InnerFit> taken = take_prior_fit(prior, rho, beta0);
  if (!taken) {
    QUELT_TRY(InnerFit fresh, fit_at_rho(ctx, rho, beta0));
    taken = std::move(fresh);
  }
  InnerFit& fit = *taken;
  ctx.fit_stats.inner_pirls_calls += 1;
  ctx.fit_stats.inner_pirls_iterations_total += static_cast<std::uint64_t>(fit.iterations);
  QUELT_TRY(EnvelopeScore es, envelope_score(ctx, rho, fit));

  Matrix hess;
  if (es.fd_hessian || !es.dscale_drho) {
    QUELT_TRY(Matrix hd, difference_hessian(rho, [&ctx](const Vector& r) {
                return envelope_score_at_rho(ctx, r);
              }));
    hess = std::move(hd);
  } else {
    hess = analytic_hessian(ctx, fit, es);
  }

  if constexpr (Family::uses_warm_start) {
    if (es.h_inv.rows() == fit.p) {
      WarmStartCache cache;
      cache.dbeta_drho = Matrix(fit.p, m);
      for (std::size_t j = 0; j < m; ++j) {
        const Vector w = small_matvec(es.h_inv, small_matvec(ctx.penalties[j], fit.beta));
        for (std::size_t i = 0; i < fit.p; ++i) cache.dbeta_drho(i, j) = -es.lambda[j] * w[i];
      }
      cache.lambda = es.lambda;
      cache.beta = fit.beta;
      auto cell = ctx.warm_start.borrow_mut();
      *cell = std::move(cache);
    }
  }
  ctx.scratch.give_fit(fit);
  OuterEval out;
  out.grad = std::move(es.grad);
  out.score = es.score;
  out.hessian = std::move(hess);
  return out;
}

#define QUELT_ENVELOPE_INSTANTIATE(F)                                                             \
  template Result<InnerFit> fit_at_rho<F>(const FitContext<F>&, std::span<const double>,          \
                                          const std::optional<Vector>&);                          \
  template Result<EnvelopeScore> envelope_score<F>(const FitContext<F>&, std::span<const double>, \
                                                   const InnerFit&);                              \
  template Result<OuterEval> envelope_eval<F>(FitContext<F>&, std::span<const double>);           \
  template Result<OuterEval> envelope_eval<F>(FitContext<F>&, std::span<const double>,            \
                                              std::optional<PriorFit>&);                          \
  template Result<std::pair<double, Vector>> envelope_score_at_rho<F>(const FitContext<F>&,       \
                                                                      std::span<const double>);
QUELT_ENVELOPE_INSTANTIATE(Gaussian)
QUELT_ENVELOPE_INSTANTIATE(Bernoulli)
QUELT_ENVELOPE_INSTANTIATE(QuasiBinomial)
QUELT_ENVELOPE_INSTANTIATE(Poisson)
QUELT_ENVELOPE_INSTANTIATE(QuasiPoisson)
QUELT_ENVELOPE_INSTANTIATE(GammaLog)
QUELT_ENVELOPE_INSTANTIATE(GammaInverse)
QUELT_ENVELOPE_INSTANTIATE(InverseGaussian)
#undef QUELT_ENVELOPE_INSTANTIATE

}  // namespace quelt

#include "fit/score_diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "core/linalg.hpp"
#include "design/additive.hpp"
#include "design/model_design.hpp"
#include "design/terms.hpp"
#include "family/families.hpp"
#include "family/ocat.hpp"
#include "fit/driver_common.hpp"
#include "fit/shape_checks.hpp"
#include "inner/fit_context.hpp"
#include "score/shape_negbin.hpp"
#include "score/shape_ocat.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tdist.hpp"
#include "score/shape_tweedie.hpp"

namespace quelt {

namespace {

// The smallest Tweedie dispersion a diagnostic refits at. The saturated
// log-likelihood's series sums a multiple of √j₀ terms per observation, j₀ =
// y^(2−p)/((2−p)φ): a log φ far below the data's dispersion would take hours
// (7 s for 200 counts at φ = 2e-9; at the series' own floor 1e-12 about 45
// times as long).
constexpr double kDiagnosticMinPhi = 1e-6;

// The inner tolerance of a diagnostic refit: the tolerance the family's fit
// searches with, so that the score at a fit's θ̂ is the one the search ended
// on; for the ordered-categorical family that of the fits' final refit
// (1e-9, against 1e-8 in its search), whose coefficients the fitted model
// keeps.
template <class F>
constexpr double kDiagnosticTol = ShapeTraits<F>::kOptimisationTol;
template <>
constexpr double kDiagnosticTol<Ocat> = 1e-9;

// The rows of x and y agree and there are some, then the design of one cubic
// regression spline per column.
Result<ModelDesign> spline_design(MatrixView x, std::size_t y_len,
                                  std::span<const std::size_t> k_per_term) {
  QUELT_CHECK_OK(check_data_lengths(x.rows, y_len, std::nullopt));
  QUELT_CHECK_OK(check_has_rows(x.rows));
  std::vector<TermSpec> terms;
  terms.reserve(k_per_term.size());
  for (std::size_t i = 0; i < k_per_term.size(); ++i)
    terms.push_back(TermSpec{TermSpec::Cr{i, k_per_term[i]}});
  return build_additive_design(terms, x);
}

Status check_theta_length(std::span<const double> theta, std::size_t expected, const char* head) {
  if (theta.size() == expected) return ok_status();
  return QueltError::invalid_parameter(std::string(head) + " (length " + fmt_uint(expected) +
                                       "); got " + fmt_uint(theta.size()));
}

Status check_theta_finite(std::span<const double> theta) {
  for (std::size_t i = 0; i < theta.size(); ++i)
    if (!std::isfinite(theta[i]))
      return QueltError::invalid_parameter(
          "theta must be finite; got theta=" + fmt_float(theta[i]) + " at index " + fmt_uint(i));
  return ok_status();
}

// ρ_j at most kMaxLogLambda: beyond it λ_j = exp(ρ_j) and λ_j·S_j leave
// the range of doubles.
Status check_rho_range(std::span<const double> rho) {
  for (std::size_t i = 0; i < rho.size(); ++i)
    if (rho[i] > kMaxLogLambda)
      return QueltError::invalid_parameter(
          "log smoothing parameters must be at most " + fmt_float(kMaxLogLambda) +
          "; got theta=" + fmt_float(rho[i]) + " at index " + fmt_uint(i));
  return ok_status();
}

// A decoded shape value that over- or underflowed: the score there is not a
// number.
Status check_decoded(double v, const char* what, std::span<const double> theta, std::size_t i) {
  if (v > 0.0 && std::isfinite(v)) return ok_status();
  return QueltError::invalid_parameter(std::string(what) +
                                       " must be a positive finite number; got theta[" +
                                       fmt_uint(i) + "]=" + fmt_float(theta[i]));
}

// The family value at θ's shape coordinates, as the fits decode it, with
// Tweedie's φ held at or above kDiagnosticMinPhi.
Result<Tweedie> decoded_tweedie(std::span<const double> theta, std::size_t m) {
  Tweedie base = tweedie_log(1.5, 1.0);
  base.estimate_p = true;
  Tweedie f = ShapeTraits<Tweedie>::decode(base, theta.subspan(m));
  f.phi = std::max(f.phi, kDiagnosticMinPhi);
  QUELT_CHECK_OK(check_decoded(f.phi, "φ = exp(log_φ)", theta, m));
  return f;
}
Result<TDist> decoded_tdist(std::span<const double> theta, std::size_t m) {
  const TDist f = ShapeTraits<TDist>::decode(tdist_identity(5.0, 1.0), theta.subspan(m));
  QUELT_CHECK_OK(check_decoded(f.sigma2, "σ² = exp(log_σ²)", theta, m));
  QUELT_CHECK_OK(check_decoded(f.nu, "ν = 2 + exp(log(ν-2))", theta, m + 1));
  return f;
}
Result<NegBin> decoded_negbin(std::span<const double> theta, std::size_t m) {
  const NegBin f = ShapeTraits<NegBin>::decode(NegBin{}, theta.subspan(m));
  QUELT_CHECK_OK(check_decoded(f.theta, "θ = exp(log_θ)", theta, m));
  return f;
}

// The ordered-categorical family of R categories with the log gaps θ[m..)
// (all R − 2 of them) or, when θ holds only ρ, zero log gaps.
Result<Ocat> decoded_ocat(std::span<const double> theta, std::size_t m, std::size_t n_cats) {
  if (n_cats < 3) return ocat_new(Vector(), n_cats);
  const std::size_t gaps = n_cats - 2;
  if (theta.size() != m && (theta.size() < m || theta.size() - m != gaps)) {
    // T + R − 2 may pass the largest integer for an absurd R: printed as a
    // float then.
    const std::string full = gaps <= SIZE_MAX - m
                                 ? fmt_uint(m + gaps)
                                 : fmt_float(static_cast<double>(m) + static_cast<double>(gaps));
    return QueltError::invalid_parameter("evaluate_reml_at_ocat expects theta of length " +
                                         fmt_uint(m) + " or " + full + "; got " +
                                         fmt_uint(theta.size()));
  }
  if (theta.size() == m) {
    Vector zeros;
    try {
      zeros.assign(gaps, 0.0);
    } catch (const std::exception&) {
      throw OutOfMemory("evaluate_reml_at_ocat with n_cats = " + fmt_uint(n_cats) + " needs " +
                        fmt_uint(gaps) + " log gaps (" +
                        fmt_gigabytes(8.0 * static_cast<double>(gaps)) +
                        "), more than can be allocated");
    }
    return ocat_new(std::move(zeros), n_cats);
  }
  return ocat_new(Vector(theta.begin() + static_cast<std::ptrdiff_t>(m), theta.end()), n_cats);
}

Vector shape_values(const Tweedie& f) { return {f.phi, f.p}; }
Vector shape_values(const TDist& f) { return {f.nu, f.sigma2}; }
Vector shape_values(const NegBin& f) { return {f.theta}; }
Vector shape_values(const Ocat&) { return {}; }

// The refit at ρ = θ[0..m) with the family value `family` on the design, and
// the score with its parts; with `rho_gradient` also ∂V/∂ρ.
template <class F>
Result<ScoreDiagnostic> diagnose(ModelDesign design, Vector y, std::span<const double> theta,
                                 const F& family, bool rho_gradient = false) {
  using Traits = ShapeTraits<F>;
  FitContext<F> ctx = make_fit_context<F>(std::move(design), std::move(y), std::nullopt, family,
                                          InnerOptions{50, kDiagnosticTol<F>, 10});
  use_penalty_eigenbasis(ctx);  // accurate at every λ (inner/coefficient_rotation.hpp)
  const std::size_t m = ctx.m();
  const std::span<const double> rho = theta.first(m);
  QUELT_TRY(InnerFit fit, Traits::inner_fit(ctx, family, rho));
  const PenaltyPieces pc = shape_penalty_pieces(ctx, fit, rho, rho_gradient);

  ScoreDiagnostic d;
  d.score = laml_score(ctx, fit, family, rho, pc);
  d.deviance = fit.deviance;
  d.bsb_total = pc.bsb_total;
  d.bsb_per_term = pc.bsb;
  d.dp = pc.dp;
  if constexpr (requires { Traits::log_det_h(ctx, fit, family, rho); })
    d.log_det_h = Traits::log_det_h(ctx, fit, family, rho);
  else
    d.log_det_h = log_det_from_cholesky(fit.chol);
  d.log_det_lambda_s = pc.log_det_s.value;
  d.ls = Traits::saturated_loglik(ctx, family);
  d.shape = shape_values(family);
  if (rho_gradient) d.grad_rho = rho_gradient_core(ctx, fit, family, rho, pc);
  d.null_space_dim = ctx.null_space_dim;
  d.iterations = fit.iterations;
  d.converged = fit.converged;
  d.beta = coefficients_to_design(ctx.rotation, std::move(fit.beta));
  d.eta = std::move(fit.eta);
  d.mu = std::move(fit.mu);
  return d;
}

}  // namespace

Result<ScoreDiagnostic> tweedie_score_diagnostic(MatrixView x, Vector y,
                                                 std::span<const double> theta,
                                                 std::span<const std::size_t> k_per_term) {
  QUELT_TRY(ModelDesign design, spline_design(x, y.size(), k_per_term));
  QUELT_CHECK_OK(
      check_theta_length(theta, design.penalties.size() + 2,
                         "evaluate_reml_at_tweedie expects theta=[ρ_1..ρ_T, log_φ, p_transform]"));
  QUELT_CHECK_OK(check_theta_finite(theta));
  QUELT_CHECK_OK(check_rho_range(theta.first(design.penalties.size())));
  QUELT_TRY(const Tweedie family, decoded_tweedie(theta, design.penalties.size()));
  QUELT_CHECK_OK(check_shape_response(family, y));
  return diagnose(std::move(design), std::move(y), theta, family);
}

Result<ScoreDiagnostic> scat_score_diagnostic(MatrixView x, Vector y, std::span<const double> theta,
                                              std::span<const std::size_t> k_per_term) {
  QUELT_TRY(ModelDesign design, spline_design(x, y.size(), k_per_term));
  QUELT_CHECK_OK(
      check_theta_length(theta, design.penalties.size() + 2,
                         "evaluate_reml_at_scat expects theta=[ρ_1..ρ_T, log_σ², log(ν-2)]"));
  QUELT_CHECK_OK(check_theta_finite(theta));
  QUELT_CHECK_OK(check_rho_range(theta.first(design.penalties.size())));
  QUELT_TRY(const TDist family, decoded_tdist(theta, design.penalties.size()));
  QUELT_CHECK_OK(check_shape_response(family, y));
  return diagnose(std::move(design), std::move(y), theta, family);
}

Result<ScoreDiagnostic> negbin_score_diagnostic(MatrixView x, Vector y,
                                                std::span<const double> theta,
                                                std::span<const std::size_t> k_per_term) {
  QUELT_TRY(ModelDesign design, spline_design(x, y.size(), k_per_term));
  QUELT_CHECK_OK(check_theta_length(theta, design.penalties.size() + 1,
                                    "evaluate_reml_at_negbin expects theta=[ρ_1..ρ_T, log_θ]"));
  QUELT_CHECK_OK(check_theta_finite(theta));
  QUELT_CHECK_OK(check_rho_range(theta.first(design.penalties.size())));
  QUELT_TRY(const NegBin family, decoded_negbin(theta, design.penalties.size()));
  QUELT_CHECK_OK(check_shape_response(family, y));
  return diagnose(std::move(design), std::move(y), theta, family);
}

Result<ScoreDiagnostic> ocat_score_diagnostic(MatrixView x, Vector y, std::span<const double> theta,
                                              std::size_t n_cats,
                                              std::span<const std::size_t> k_per_term) {
  QUELT_TRY(ModelDesign design, spline_design(x, y.size(), k_per_term));
  const std::size_t m = design.penalties.size();
  QUELT_TRY(const Ocat family, decoded_ocat(theta, m, n_cats));
  QUELT_CHECK_OK(check_theta_finite(theta));
  QUELT_CHECK_OK(check_rho_range(theta.first(m)));
  QUELT_CHECK_OK(check_shape_response(family, y));
  return diagnose(std::move(design), std::move(y), theta.first(m), family, true);
}

}  // namespace quelt

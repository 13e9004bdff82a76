#include "fit/score_diagnostics.hpp"

#include <cmath>
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
#include "fit/driver_common.hpp"
#include "fit/shape_checks.hpp"
#include "inner/fit_context.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tdist.hpp"
#include "score/shape_tweedie.hpp"

namespace quelt {

namespace {

// The rows of x and y agree, then the design of one cubic regression spline
// per column.
Result<ModelDesign> spline_design(MatrixView x, std::size_t y_len,
                                  std::span<const std::size_t> k_per_term) {
  QUELT_CHECK_OK(check_data_lengths(x.rows, y_len, std::nullopt));
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

Vector shape_values(const Tweedie& f) { return {f.phi, f.p}; }
Vector shape_values(const TDist& f) { return {f.nu, f.sigma2}; }

// The refit at θ on the design and the score with its parts, the family's
// shape values decoded from θ's tail on top of `base`.
template <class F>
Result<ScoreDiagnostic> diagnose(ModelDesign design, Vector y, std::span<const double> theta,
                                 F base) {
  using Traits = ShapeTraits<F>;
  FitContext<F> ctx =
      make_fit_context<F>(std::move(design), std::move(y), std::nullopt, std::move(base),
                          InnerOptions{50, Traits::kOptimisationTol, 10});
  const std::size_t m = ctx.m();
  QUELT_TRY(ThetaRefit<F> r, refit_at_theta(ctx, theta));
  const std::span<const double> rho = theta.first(m);
  const PenaltyPieces pc = penalty_pieces(ctx, r.fit, rho, false);

  ScoreDiagnostic d;
  d.score = laml_score(ctx, r.fit, r.family, rho, pc);
  d.deviance = r.fit.deviance;
  d.bsb_total = pc.bsb_total;
  d.bsb_per_term = pc.bsb;
  d.dp = pc.dp;
  if constexpr (requires { Traits::log_det_h(ctx, r.fit, r.family, rho); })
    d.log_det_h = Traits::log_det_h(ctx, r.fit, r.family, rho);
  else
    d.log_det_h = log_det_from_cholesky(r.fit.chol);
  d.log_det_lambda_s = pc.log_det_s.value;
  d.ls = Traits::saturated_loglik(ctx, r.family);
  d.shape = shape_values(r.family);
  d.null_space_dim = ctx.null_space_dim;
  d.iterations = r.fit.iterations;
  d.converged = r.fit.converged;
  d.beta = std::move(r.fit.beta);
  d.eta = std::move(r.fit.eta);
  d.mu = std::move(r.fit.mu);
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
  Tweedie base = tweedie_log(1.5, 1.0);
  base.estimate_p = true;
  QUELT_CHECK_OK(check_shape_response(base, y));
  return diagnose(std::move(design), std::move(y), theta, base);
}

Result<ScoreDiagnostic> scat_score_diagnostic(MatrixView x, Vector y, std::span<const double> theta,
                                              std::span<const std::size_t> k_per_term) {
  QUELT_TRY(ModelDesign design, spline_design(x, y.size(), k_per_term));
  QUELT_CHECK_OK(
      check_theta_length(theta, design.penalties.size() + 2,
                         "evaluate_reml_at_scat expects theta=[ρ_1..ρ_T, log_σ², log(ν-2)]"));
  QUELT_CHECK_OK(check_theta_finite(theta));
  const TDist base = tdist_identity(5.0, 1.0);
  QUELT_CHECK_OK(check_shape_response(base, y));
  return diagnose(std::move(design), std::move(y), theta, base);
}

}  // namespace quelt

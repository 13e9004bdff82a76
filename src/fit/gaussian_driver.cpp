#include "fit/gaussian_driver.hpp"

#include <cmath>
#include <limits>

#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "fit/edf_vcov.hpp"
#include "inner/closed_form.hpp"
#include "outer/outer_frame.hpp"
#include "outer/rho_newton.hpp"
#include "score/data_units.hpp"

namespace quelt {

namespace {

// The units of the internal fit: y = shift + unit·ỹ, w = w̄·w̃.
struct GaussianUnits {
  double shift = 0.0;
  double unit = 1.0;
  double mean_weight = 1.0;
};

GaussianUnits gaussian_units(const WeightedMoments& mom, bool centre) {
  GaussianUnits u;
  u.shift = centre ? mom.mean : 0.0;
  const double level = std::fabs(mom.mean);
  // A constant response has no spread: its level, or 1 for zeros, is the unit.
  u.unit = mom.sd > 0.0 ? mom.sd : (level > 0.0 ? level : 1.0);
  u.mean_weight = mom.mean_weight;
  return u;
}

}  // namespace

Result<FittedGam> fit_gaussian(ModelDesign design, Vector y, std::optional<Vector> weights) {
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_data_lengths(n, y.size(), weights));
  QUELT_CHECK_OK(check_response<Gaussian>(y));
  QUELT_CHECK_OK(check_prior_weights(weights));
  QUELT_CHECK_OK(check_informative_rows(weights, n, design.x.cols()));

  // The fit runs on ỹ = (y − ȳ)/sd(y) and w̃ = w/w̄, whose cross products
  // neither overflow nor lose the curve to the level of y; the results are
  // taken back to the user's units at the end.
  const GaussianUnits units =
      gaussian_units(weighted_moments(y, weights), has_free_intercept(design.x, design.penalties));
  // A unit below the normal doubles (a response of subnormal spread) leaves
  // the scale, of the order of its square, below them as well.
  if (units.unit < std::numeric_limits<double>::min())
    return out_of_units_range("the scale estimate", false, false);
  // Rows of zero weight are not data: their ỹ is set to 0, so that a wild
  // response there cannot overflow on the way.
  const double to_unit = 1.0 / units.unit, to_mean_weight = 1.0 / units.mean_weight;
  for (std::size_t i = 0; i < n; ++i)
    y[i] = weights && !((*weights)[i] > 0.0) ? 0.0 : (y[i] - units.shift) * to_unit;
  if (weights)
    for (double& v : *weights) v *= to_mean_weight;

  // The context forms XᵀW̃X and XᵀW̃ỹ once; every closed-form fit reuses them.
  // The context takes the model matrix and penalties; design.predictor stays
  // for the record.
  FitContext<Gaussian> ctx = make_fit_context<Gaussian>(
      std::move(design), std::move(y), std::move(weights), Gaussian{}, InnerOptions{});
  const std::size_t m = ctx.m();
  const std::size_t p = ctx.p();
  const OuterFrame frame = outer_frame(ctx);
  // From here on the fit works in the eigenbasis of the penalties, accurate
  // at every λ (inner/coefficient_rotation.hpp); the start above reads the
  // design's own basis.
  use_penalty_eigenbasis(ctx);

  QUELT_TRY(OuterResult r, newton_over_rho(ctx, frame));

  // Final fit at the chosen ρ, not counted.
  QUELT_TRY(InnerFit fit, solve_closed_form_gaussian(ctx, r.rho));
  FitOutcome out;
  out.edf_total = edf_total_from_gram(ctx.xtwx, fit.chol);  // XᵀW̃X in the fit's basis
  Vector edf_per_term =
      compute_edf_per_term(ctx.penalties, r.rho, p, fit.chol, ctx.rotation.penalty_widths);

  // φ̃ = (RSS_w̃ + Σ_j λ̃_j β̃ᵀS_jβ̃) / (n − Mp), n the rows of positive weight,
  // floored as the score's estimate is (a constant response is fitted
  // exactly).
  double dp = fit.weighted_rss;
  for (std::size_t j = 0; j < m; ++j)
    dp += std::exp(r.rho[j]) * quadratic_form(ctx.penalties[j], fit.beta);
  const double n_obs = static_cast<double>(ctx.moments.n_obs);
  const double mp = static_cast<double>(ctx.null_space_dim);
  const double resid_df = n_obs - mp;
  const double floor = kScaleFloorRel * data_units(ctx).dispersion;
  const double phi = resid_df > 0.0 ? floor_at(dp / resid_df, floor) : std::nan("");
  Matrix vcov = covariance_to_design(ctx.rotation, compute_vcov(fit.chol, phi));

  // Back to the user's units: β = unit·β̃ (+ ȳ on the intercept), λ = w̄·λ̃,
  // φ = w̄·unit²·φ̃, vcov = unit²·vcoṽ, and the score gains the constant
  // (n/2)·ln w̄ + (n − Mp)·ln unit, so that reml_value is the score of the
  // user's data at the returned ρ.
  const double u = units.unit;
  Vector beta = coefficients_to_design(ctx.rotation, std::move(fit.beta));
  for (double& b : beta) b *= u;
  if (!beta.empty()) beta[0] += units.shift;
  for (double& v : vcov.storage()) v = (v * u) * u;
  out.scale = std::isnan(phi) ? phi : (phi * units.mean_weight) * u * u;
  // Both grow as unit²: refused where they leave the normal doubles.
  QUELT_CHECK_OK(check_units_range(out.scale, vcov, std::nullopt, "the scale estimate"));
  const double log_w = std::log(units.mean_weight);
  out.rho = std::move(r.rho);
  for (double& v : out.rho) v += log_w;
  out.n_iters = r.n_iters;
  out.converged = r.converged && fit.converged;
  out.reml_value = r.score == kInadmissibleScore
                       ? r.score
                       : r.score + 0.5 * n_obs * log_w + resid_df * std::log(u);
  return assemble_record(std::move(out), std::move(beta), std::move(edf_per_term), std::move(vcov),
                         n, std::move(design.predictor), Link::Identity, ctx.fit_stats);
}

}  // namespace quelt

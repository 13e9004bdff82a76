#include "fit/std_driver.hpp"

#include <cmath>
#include <optional>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "fit/design_rank.hpp"
#include "fit/edf_vcov.hpp"
#include "fit/response_units.hpp"
#include "fit/std_data_checks.hpp"
#include "inner/pirls.hpp"
#include "outer/fellner_schall.hpp"
#include "outer/outer_frame.hpp"
#include "outer/rho_newton.hpp"
#include "outer/settings.hpp"
#include "score/data_units.hpp"

namespace quelt {

namespace {

// Inner fits: at most 1000 PIRLS iterations, converged when the deviance
// changes by less than 1e-9 of itself between accepted iterates (the
// line-search limit belongs to the quantile fit and is not read). Ordinary
// data converge in a few iterations; the limit is for a response far from
// the others. Under the log link a Fisher step moves η by at most about one
// where the mean is far above its response ((y − μ)/μ > −1), so a row whose
// mean an early step threw to e^k times its response takes about k
// iterations to come back (k near 300 seen with one Gamma response 1e14
// times the others). exp overflows past η ≈ 709.8, which bounds k: 1000
// iterations let any such walk finish. A fit whose penalized deviance has
// stopped falling ends there (pirls_stalled): with one row far heavier than
// the others, rounding alone keeps the deviance moving by more than 1e-9 of
// itself, and the walk at that floor would run to the limit.
constexpr InnerOptions kPirlsOptions{1000, 1e-9, 10, kPirlsStallIters};

// Σ_i w_i (y_i − μ'_i)² / V(μ'_i) over the rows in order, with the family's
// variance function at the mean floored at Family::mean_floor (a NaN mean
// counts as the floor).
template <class Family>
double pearson_statistic(const Vector& y, const Vector& mu, const std::optional<Vector>& w) {
  double p = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double m = floor_at(mu[i], Family::mean_floor);
    const double r = y[i] - m;
    const double v = Family::variance(m);
    const double wi = w ? (*w)[i] : 1.0;
    p += wi * r * r / v;
  }
  return p;
}

}  // namespace

template <class Family>
Result<FittedGam> fit_std_family(ModelDesign design, Vector y, std::optional<Vector> weights,
                                 Family family) {
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_data_lengths(n, y.size(), weights));
  QUELT_CHECK_OK(check_response<Family>(y));
  QUELT_CHECK_OK(check_prior_weights(weights));
  QUELT_CHECK_OK(check_informative_rows(weights, n, design.x.cols()));
  constexpr int kWeightPower = fisher_weight_power<Family>();
  constexpr bool kYBounded = Family::y_domain == YDomain::UnitInterval;
  // In the user's units, to name the row should a factorization fail.
  const FarResponse far = far_response(kWeightPower, kYBounded, y, weights);
  // A refusal of one far row, or of the design when its penalized system is
  // singular whatever y holds (fit/design_rank.hpp).
  if (Status rows = check_row_weights(kWeightPower, kYBounded, y, weights, far.median); !rows.ok())
    return unless_design_singular(
        check_design_rank(design.x.view(), weights, design.penalties, design.penalty_groups, false),
        std::move(rows).take_error());

  // Families whose responses have units fit in the data's own units
  // (fit/response_units.hpp).
  constexpr bool kOwnUnits = requires { Family::variance_power; };
  // The Poisson families' check of the fitted means names responses in the
  // user's units.
  constexpr bool kCountMeans = Family::y_domain == YDomain::NonNegative;
  ResponseUnits units;
  Vector user_y;
  if constexpr (kOwnUnits) {
    QUELT_TRY(ResponseUnits u, response_units<Family>(y, weights, design));
    units = u;
    if constexpr (kCountMeans) user_y = y;
    to_fit_units(units, y, weights);
  }

  // The context takes the model matrix and penalties; design.predictor stays
  // for the record.
  FitContext<Family> ctx = make_fit_context<Family>(
      std::move(design), std::move(y), std::move(weights), std::move(family), kPirlsOptions);
  const std::size_t p = ctx.p();

  // Start, box and convergence origin that follow the units of the data.
  const OuterFrame frame = outer_frame(ctx);
  // From here on the fit works in the eigenbasis of the penalties, accurate
  // at every λ (inner/coefficient_rotation.hpp); the start above reads the
  // design's own basis.
  use_penalty_eigenbasis(ctx);
  // A failure that the far response is blamed for, unless the design is
  // singular whatever y holds.
  auto refuse = [&](QueltError e) -> QueltError {
    if (!blames_far_response(far, e)) return e;
    return unless_design_singular(check_design_rank(ctx),
                                  explain_singular(far, kWeightPower, std::move(e)));
  };

  FitOutcome out;
  if (outer_algorithm_is_fellner_schall()) {
    auto run = fellner_schall(ctx, frame.start);
    if (!run.ok()) return refuse(std::move(run).take_error());
    FellnerSchallResult fs = std::move(run).value();
    out.rho = std::move(fs.rho);
    out.n_iters = fs.n_iters;
    out.converged = fs.converged;
    out.reml_value = 0.0;
  } else {
    auto run = newton_over_rho(ctx, frame);
    if (!run.ok()) return refuse(std::move(run).take_error());
    OuterResult r = std::move(run).value();
    out.rho = std::move(r.rho);
    out.n_iters = r.n_iters;
    out.converged = r.converged;
    out.reml_value = r.score;
  }

  // Final fit at the chosen ρ, not counted.
  auto final_fit = pirls(ctx, total_penalty(ctx.penalties, out.rho, p));
  if (!final_fit.ok()) return refuse(std::move(final_fit).take_error());
  InnerFit fit = std::move(final_fit).value();
  out.converged = out.converged && fit.converged;
  // A fit may take the mean of a positive count below the floor, in any
  // units; the check compares the means of the fit with the floor and names
  // the responses in the user's units.
  if constexpr (kCountMeans) {
    Status means = check_fitted_means(Family::display_name, kOwnUnits ? user_y : ctx.y, fit.mu,
                                      ctx.prior_weights);
    if (!means.ok())
      return unless_design_singular(check_design_rank(ctx), std::move(means).take_error());
  }
  // The final fit formed XᵀWX at its returned weights unless its iteration
  // limit ended it; then it is formed here.
  Matrix gram = fit.xtwx ? std::move(*fit.xtwx) : xtwx(ctx.x.view(), fit.w.data());
  // The loop's factor is that of XᵀWX + S_λ at the weights of the step
  // before the returned one. Those agree only as far as the fit converged:
  // an iteration limit, or one row whose deviance hides the others' changes
  // from the test, may leave them far apart, and tr(H⁻¹XᵀWX) with H from
  // other weights is no degree of freedom (it exceeded p). The summaries
  // read H at the returned weights, one p x p factorization.
  {
    Matrix h = gram;
    const Matrix s = total_penalty(ctx.penalties, out.rho, p);
    for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += s.data()[i];
    auto l = cholesky(std::move(h));
    if (!l.ok()) return refuse(std::move(l).take_error());
    fit.chol = std::move(l).value();
  }
  out.edf_total = edf_total_from_gram(gram, fit.chol);

  Matrix vcov;
  if constexpr (Family::scale == Scale::Estimated) {
    // Rows of zero weight are not data; a scale below the floor of the
    // score's estimate (a response fitted exactly) is reported at it.
    const double df = static_cast<double>(ctx.moments.n_obs) - out.edf_total;
    const double pearson = pearson_statistic<Family>(ctx.y, fit.mu, ctx.prior_weights);
    const double floor = kScaleFloorRel * data_units(ctx).dispersion;
    out.scale = df > 0.0 ? floor_at(pearson / df, floor) : std::nan("");
    if (std::isinf(out.scale)) return scale_estimate_overflow();
    vcov = compute_vcov(fit.chol, out.scale);
  } else {
    out.scale = 1.0;
    vcov = inverse_from_cholesky(fit.chol.view());
  }
  Vector edf_per_term =
      compute_edf_per_term(ctx.penalties, out.rho, p, fit.chol, ctx.rotation.penalty_widths);
  Vector beta = coefficients_to_design(ctx.rotation, std::move(fit.beta));
  vcov = covariance_to_design(ctx.rotation, std::move(vcov));
  if constexpr (kOwnUnits)
    QUELT_CHECK_OK(to_user_units<Family>(units, ctx.moments.n_obs, ctx.null_space_dim,
                                         !outer_algorithm_is_fellner_schall(), out, beta, vcov));
  return assemble_record(std::move(out), std::move(beta), std::move(edf_per_term), std::move(vcov),
                         n, std::move(design.predictor), Family::link, ctx.fit_stats);
}

#define QUELT_STD_DRIVER_INSTANCE(F) \
  template Result<FittedGam> fit_std_family<F>(ModelDesign, Vector, std::optional<Vector>, F);
QUELT_STD_DRIVER_INSTANCE(Bernoulli)
QUELT_STD_DRIVER_INSTANCE(QuasiBinomial)
QUELT_STD_DRIVER_INSTANCE(Poisson)
QUELT_STD_DRIVER_INSTANCE(QuasiPoisson)
QUELT_STD_DRIVER_INSTANCE(GammaLog)
QUELT_STD_DRIVER_INSTANCE(GammaInverse)
QUELT_STD_DRIVER_INSTANCE(InverseGaussian)
#undef QUELT_STD_DRIVER_INSTANCE

}  // namespace quelt

#include "fit/shape_driver.hpp"

#include <utility>

#include "fit/driver_common.hpp"
#include "fit/edf_vcov.hpp"
#include "fit/shape_checks.hpp"
#include "inner/fit_context.hpp"
#include "outer/newton.hpp"
#include "outer/settings.hpp"
#include "outer/shape_frame.hpp"
#include "score/shape_eval.hpp"
#include "score/shape_ocat.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tdist.hpp"
#include "score/shape_tweedie.hpp"

namespace quelt {

template <class F>
Result<FittedGam> fit_shape_family(ModelDesign design, Vector y, std::optional<Vector> weights,
                                   F family) {
  using Traits = ShapeTraits<F>;
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_data_lengths(n, y.size(), weights));
  QUELT_CHECK_OK(check_shape_start(family));
  QUELT_CHECK_OK(check_shape_response(family, y));
  QUELT_CHECK_OK(check_prior_weights(weights));
  QUELT_CHECK_OK(check_informative_rows(weights, n, design.x.cols()));

  FitContext<F> ctx =
      make_fit_context<F>(std::move(design), std::move(y), std::move(weights), std::move(family),
                          InnerOptions{50, Traits::kOptimisationTol, 10});
  const std::size_t m = ctx.m(), p = ctx.p();
  const ShapeFrame frame = shape_frame(ctx);

  // The loop gets the Hessian with its curvature made positive
  // (outer/shape_frame.hpp) and measures its tests from the score's origin.
  auto evaluate = [&ctx](const Vector& theta) -> Result<ShapeEval> {
    QUELT_TRY(ShapeEval e, shape_aware_eval(ctx, theta));
    e.hessian = positive_curvature(e.hessian);
    return e;
  };
  auto trial = [&ctx](const Vector& theta) { return score_at(ctx, theta); };
  const OuterOptions options = driver_outer_options(F::outer_tolerances);
  QUELT_TRY(OuterResult r, outer_newton(frame.start, frame.bounds, frame.step_caps, options,
                                        evaluate, trial, ctx.fit_stats, frame.score_origin));

  const std::span<const double> theta(r.rho);
  const Vector rho(theta.begin(), theta.begin() + static_cast<std::ptrdiff_t>(m));
  Vector tail(theta.begin() + static_cast<std::ptrdiff_t>(m), theta.end());
  const F fitted = Traits::decode(ctx.family, tail);

  // The final fit, at the final inner tolerance and not counted.
  ctx.inner_options = InnerOptions{50, 1e-9, 10};
  QUELT_TRY(InnerFit fit, Traits::inner_fit(ctx, fitted, rho));

  FitOutcome out;
  out.rho = rho;
  out.n_iters = r.n_iters;
  out.converged = r.converged && fit.converged;
  out.reml_value = r.score;
  out.scale = Traits::record_scale(fitted);
  out.edf_total = fit.xtwx ? edf_total_from_gram(*fit.xtwx, fit.chol)
                           : compute_edf_total(ctx.x.view(), fit.w, fit.chol);
  Matrix vcov = compute_vcov(fit.chol, Traits::covariance_scale(fitted));
  Vector edf_per_term = compute_edf_per_term(ctx.penalties, rho, p, fit.chol);
  return assemble_record(std::move(out), std::move(fit.beta), std::move(edf_per_term),
                         std::move(vcov), n, std::move(design.predictor), F::link, ctx.fit_stats,
                         std::move(tail));
}

template Result<FittedGam> fit_shape_family<TDist>(ModelDesign, Vector, std::optional<Vector>,
                                                   TDist);
template Result<FittedGam> fit_shape_family<Tweedie>(ModelDesign, Vector, std::optional<Vector>,
                                                     Tweedie);
template Result<FittedGam> fit_shape_family<Ocat>(ModelDesign, Vector, std::optional<Vector>, Ocat);

}  // namespace quelt

#include "fit/shape_driver.hpp"

#include <utility>

#include "fit/design_rank.hpp"
#include "fit/shape_fit_steps.hpp"
#include "fit/shape_units.hpp"
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
  QUELT_TRY(FitContext<F> ctx,
            shape_fit_context(design, std::move(y), std::move(weights), std::move(family)));
  // The search runs on y/c (fit/shape_units.hpp); the record is taken back.
  // Its refusal of a response too far from the others gives way to a design
  // singular whatever y holds (fit/design_rank.hpp).
  auto entered = enter_units(ctx);
  if (!entered.ok())
    return unless_design_singular(check_design_rank(ctx), std::move(entered).take_error());
  const double unit = entered.value();
  const ShapeFrame frame = shape_frame(ctx);
  use_penalty_eigenbasis(ctx);  // accurate at every λ from here on

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

  QUELT_TRY(FittedGam rec, finish_shape_fit(ctx, {r.rho, r.n_iters, r.converged, r.score},
                                            std::move(design.predictor)));
  QUELT_CHECK_OK(leave_units(rec, ctx, unit));
  return rec;
}

template Result<FittedGam> fit_shape_family<TDist>(ModelDesign, Vector, std::optional<Vector>,
                                                   TDist);
template Result<FittedGam> fit_shape_family<Tweedie>(ModelDesign, Vector, std::optional<Vector>,
                                                     Tweedie);
template Result<FittedGam> fit_shape_family<Ocat>(ModelDesign, Vector, std::optional<Vector>, Ocat);

}  // namespace quelt

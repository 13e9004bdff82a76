#include "fit/negbin_driver.hpp"

#include <cmath>
#include <utility>

#include "fit/shape_fit_steps.hpp"
#include "inner/fit_context.hpp"
#include "outer/profile_shape.hpp"
#include "outer/settings.hpp"
#include "outer/shape_frame.hpp"
#include "score/shape_negbin.hpp"

namespace quelt {

namespace {

// The search's settings: the thread's tuning override brings its own
// iteration limit and tolerances, and the visible change follows its
// gradient tolerance (visible_change_for).
ProfileShapeOptions profile_options() {
  ProfileShapeOptions o;
  if (const std::optional<OuterOptions> t = outer_tuning_override()) {
    const double default_grad_tol = o.grad_tol;
    o.max_iter = t->max_iter;
    o.grad_tol = t->grad_tol;
    o.reml_tol = t->reml_tol;
    o.visible_change = visible_change_for(o.grad_tol, default_grad_tol);
  }
  return o;
}

}  // namespace

Result<FittedGam> fit_negbin(ModelDesign design, Vector y, std::optional<Vector> weights,
                             NegBin family) {
  QUELT_TRY(FitContext<NegBin> ctx,
            shape_fit_context(design, std::move(y), std::move(weights), std::move(family)));
  const ShapeFrame frame = shape_frame(ctx);
  use_penalty_eigenbasis(ctx);  // accurate at every λ from here on
  QUELT_TRY(ProfileShapeResult r,
            profile_shape_fit_negbin(profile_options(), ctx, frame.start, frame.bounds,
                                     frame.step_caps, frame.score_origin));

  return finish_shape_fit(ctx, {r.theta, r.n_iters, r.converged, r.score},
                          std::move(design.predictor));
}

}  // namespace quelt

#include "fit/negbin_driver.hpp"

#include <cmath>
#include <utility>

#include "fit/driver_common.hpp"
#include "fit/edf_vcov.hpp"
#include "fit/shape_checks.hpp"
#include "inner/fit_context.hpp"
#include "inner/pirls_shape.hpp"
#include "outer/profile_shape.hpp"
#include "outer/settings.hpp"
#include "outer/shape_frame.hpp"
#include "score/shape_negbin.hpp"

namespace quelt {

namespace {

// The search's settings: the thread's tuning override brings its own
// iteration limit and tolerances.
ProfileShapeOptions profile_options() {
  ProfileShapeOptions o;
  if (const std::optional<OuterOptions> t = outer_tuning_override()) {
    o.max_iter = t->max_iter;
    o.grad_tol = t->grad_tol;
    o.reml_tol = t->reml_tol;
  }
  return o;
}

}  // namespace

Result<FittedGam> fit_negbin(ModelDesign design, Vector y, std::optional<Vector> weights,
                             NegBin family) {
  using Traits = ShapeTraits<NegBin>;
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_data_lengths(n, y.size(), weights));
  QUELT_CHECK_OK(check_shape_start(family));
  QUELT_CHECK_OK(check_shape_response(family, y));
  QUELT_CHECK_OK(check_prior_weights(weights));
  QUELT_CHECK_OK(check_informative_rows(weights, n, design.x.cols()));

  FitContext<NegBin> ctx =
      make_fit_context<NegBin>(std::move(design), std::move(y), std::move(weights), family,
                               InnerOptions{50, Traits::kOptimisationTol, 10});
  const std::size_t m = ctx.m(), p = ctx.p();
  const ShapeFrame frame = shape_frame(ctx);
  QUELT_TRY(ProfileShapeResult r,
            profile_shape_fit_negbin(profile_options(), ctx, frame.start, frame.bounds,
                                     frame.step_caps, frame.score_origin));

  const Vector rho(r.theta.begin(), r.theta.begin() + static_cast<std::ptrdiff_t>(m));
  Vector tail(r.theta.begin() + static_cast<std::ptrdiff_t>(m), r.theta.end());
  const NegBin fitted = Traits::decode(ctx.family, tail);

  // The final fit, at the final inner tolerance and not counted.
  ctx.inner_options = InnerOptions{50, 1e-9, 10};
  QUELT_TRY(InnerFit fit, pirls_shape(ctx, fitted, rho));

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
                         std::move(vcov), n, std::move(design.predictor), NegBin::link,
                         ctx.fit_stats, std::move(tail));
}

}  // namespace quelt

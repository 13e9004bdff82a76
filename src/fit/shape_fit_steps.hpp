// The steps that every fit with estimated shape parameters shares before and
// after its own search over the joint point θ = [ρ, t]: the data checks and
// the optimisation context, and the final fit with the record it gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "fit/design_rank.hpp"
#include "fit/driver_common.hpp"
#include "fit/edf_vcov.hpp"
#include "fit/fitted_record.hpp"
#include "fit/shape_checks.hpp"
#include "fit/shape_data_checks.hpp"
#include "inner/fit_context.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

// Inner options of the final fit at θ̂ (not counted in the fit statistics).
inline constexpr InnerOptions kShapeFinalInnerOptions{50, 1e-9, 10};

// Checks, each an InvalidParameter error, in this order: the row count of y,
// the length of the weights, the starting shape values and the responses
// (fit/shape_checks.hpp), the weights, at least as many rows of positive
// weight as coefficients, then the data of the rows of positive weight
// (fit/shape_data_checks.hpp), whose far-response refusals give way to the
// SingularSystem error of a design singular whatever y holds
// (fit/design_rank.hpp). On success the context of the search
// (inner tolerance of the family's search) takes the model matrix and the
// penalties; design.predictor stays for the record.
template <class F>
Result<FitContext<F>> shape_fit_context(ModelDesign& design, Vector y,
                                        std::optional<Vector> weights, F family) {
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_data_lengths(n, y.size(), weights));
  QUELT_CHECK_OK(check_shape_start(family));
  QUELT_CHECK_OK(check_shape_response(family, y));
  QUELT_CHECK_OK(check_prior_weights(weights));
  QUELT_CHECK_OK(check_informative_rows(weights, n, design.x.cols()));
  FitContext<F> ctx =
      make_fit_context<F>(std::move(design), std::move(y), std::move(weights), std::move(family),
                          InnerOptions{50, ShapeTraits<F>::kOptimisationTol, 10});
  QUELT_CHECK_OK(check_shape_data(ctx.family, ctx.y, ctx.prior_weights, ctx.moments, ctx.p()));
  // A far response is refused unless the design is singular whatever y
  // holds: then that is the cause to report.
  if (Status far = check_far_response(ctx.family, ctx.y, ctx.prior_weights); !far.ok())
    return unless_design_singular(check_design_rank(ctx), std::move(far).take_error());
  // Rows of zero weight are not data: their response becomes the weighted
  // mean, so that no wild value there reaches a sum as 0·∞ or an overflow
  // (their weight still zeroes every term they enter).
  if (ctx.prior_weights)
    for (std::size_t i = 0; i < n; ++i)
      if (!((*ctx.prior_weights)[i] > 0.0)) ctx.y[i] = ctx.moments.mean;
  return ctx;
}

// What a search over θ reports.
struct ShapeSearch {
  std::span<const double> theta;  // θ̂ = [ρ̂, t̂]
  std::uint64_t n_iters = 0;
  bool converged = false;
  double score = 0.0;  // V(θ̂)
};

// The final fit at θ̂ with the decoded shape values, and the record (β and
// its covariance in the design's basis):
// shape_params = t̂, scale and covariance scale as the family's traits say,
// converged = the search's and the final fit's, reml_value = V(θ̂).
template <class F>
Result<FittedGam> finish_shape_fit(FitContext<F>& ctx, const ShapeSearch& s,
                                   TermPredictor predictor) {
  using Traits = ShapeTraits<F>;
  const std::size_t m = ctx.m(), p = ctx.p();
  const Vector rho(s.theta.begin(), s.theta.begin() + static_cast<std::ptrdiff_t>(m));
  Vector tail(s.theta.begin() + static_cast<std::ptrdiff_t>(m), s.theta.end());
  const F fitted = Traits::decode(ctx.family, tail);

  ctx.inner_options = kShapeFinalInnerOptions;
  QUELT_TRY(InnerFit fit, Traits::inner_fit(ctx, fitted, rho));

  FitOutcome out;
  out.rho = rho;
  out.n_iters = s.n_iters;
  out.converged = s.converged && fit.converged;
  out.reml_value = s.score;
  out.scale = Traits::record_scale(fitted);
  out.edf_total = fit.xtwx ? edf_total_from_gram(*fit.xtwx, fit.chol)
                           : compute_edf_total(ctx.x.view(), fit.w, fit.chol);
  Matrix vcov = compute_vcov(fit.chol, Traits::covariance_scale(fitted));
  Vector edf_per_term =
      compute_edf_per_term(ctx.penalties, rho, p, fit.chol, ctx.rotation.penalty_widths);
  return assemble_record(std::move(out), coefficients_to_design(ctx.rotation, std::move(fit.beta)),
                         std::move(edf_per_term),
                         covariance_to_design(ctx.rotation, std::move(vcov)), ctx.n(),
                         std::move(predictor), F::link, ctx.fit_stats, std::move(tail));
}

}  // namespace quelt

// End-to-end fit of the negative binomial family with log link ("negbin",
// "nb"), estimating θ with the smoothing parameters.
//
// fit_negbin(design, y, weights, family):
//   design   the model design, taken over (its predictor moves into the
//            record, everything else is dropped);
//   y        the counts, one per row of design.x;
//   weights  optional prior weights (frequency weights), one per row;
//   family   the starting θ.
// Checks, each an InvalidParameter error, in this order: the row count of y,
// the length of the weights, the starting θ and the responses
// (fit/shape_checks.hpp), the weights ("prior_weights must be finite and
// non-negative; got weight={} at row {}"), then at least as many rows of
// positive weight as coefficients (check_informative_rows).
//
// θ = [ρ, log θ] is chosen by the profile-shape search (outer/profile_shape.hpp)
// from the start and within the boxes of outer/shape_frame.hpp (ρ⁰ balanced
// at the Fisher weight of the mean count, box ρ⁰ ± 50; log θ in [−10, 10],
// cap 0.5 per step), inner tolerance 1e-6, tolerances 5e-6/1e-6 and at most
// 200 iterations, or the thread's tuning override (its iteration limit and
// both tolerances). The final fit at θ̂ (inner tolerance 1e-9, not counted)
// gives the record: shape_params = [log θ̂], scale = θ̂, vcov = H⁻¹,
// reml_value = the search's score at θ̂, converged = the search's and the
// final fit's, fit_stats the search's counters.
// Errors: the checks above, the search's errors, the final fit's error.
#pragma once

#include <optional>

#include "core/error.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

Result<FittedGam> fit_negbin(ModelDesign design, Vector y, std::optional<Vector> weights,
                             NegBin family);

}  // namespace quelt

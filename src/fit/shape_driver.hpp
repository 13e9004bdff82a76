// End-to-end fits of the families with estimated shape parameters whose
// score is the shape-aware LAML score: the scaled t ("tdist", "scat"; shape
// σ², ν), Tweedie with log link ("tweedie", "tw"; shape φ and, when
// estimated, p) and the ordered-categorical family ("ocat"; shape the R − 2
// log gaps of the cut points).
//
// fit_shape_family<F>(design, y, weights, family):
//   design   the model design, taken over (its predictor moves into the
//            record, everything else is dropped);
//   y        the response, one value per row of design.x;
//   weights  optional prior weights (frequency weights), one per row;
//   family   the starting shape values (and, for Tweedie, whether p is
//            estimated or fixed at family.p).
// Checks, each an InvalidParameter error, in this order: the row count of y,
// the length of the weights, the starting values and the responses
// (fit/shape_checks.hpp), the weights ("prior_weights must be finite and
// non-negative; got weight={} at row {}"), then at least as many rows of
// positive weight as coefficients (check_informative_rows).
//
// The joint point θ = [ρ, t] is chosen by damped Newton (outer/newton.hpp)
// on the shape-aware score, every point evaluated by shape_aware_eval and
// every trial by score_at, from the start, within the boxes and with the
// step caps of outer/shape_frame.hpp; tolerances 5e-7/1e-7, at most 200
// steps (or the thread's tuning override), measured against |V − origin|.
// The final fit at θ̂ (inner tolerance 1e-9, not counted) gives the record:
// shape_params = θ̂'s shape coordinates, scale and vcov as the family says
// (scaled t: σ̂² and H⁻¹; Tweedie: φ̂ and φ̂·H⁻¹; Ocat: 1 and H⁻¹), reml_value = V(θ̂),
// converged = the search's and the final fit's.
// Errors: the checks above, the first evaluation's error, NotConverged when
// the search uses up its steps, the final fit's error.
#pragma once

#include <optional>

#include "core/error.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

template <class F>
Result<FittedGam> fit_shape_family(ModelDesign design, Vector y, std::optional<Vector> weights,
                                   F family);

extern template Result<FittedGam> fit_shape_family<TDist>(ModelDesign, Vector,
                                                          std::optional<Vector>, TDist);
extern template Result<FittedGam> fit_shape_family<Tweedie>(ModelDesign, Vector,
                                                            std::optional<Vector>, Tweedie);
extern template Result<FittedGam> fit_shape_family<Ocat>(ModelDesign, Vector, std::optional<Vector>,
                                                         Ocat);

}  // namespace quelt

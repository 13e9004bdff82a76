// End-to-end fit of the "gaussian" family (identity link).
//
// fit_gaussian(design, y, weights):
//   design   the model design, taken over (its predictor moves into the
//            record);
//   y        the response, one value per row of design.x;
//   weights  optional prior weights, one per row (absent: all 1.0).
// Checks (InvalidParameter, in this order): the row count of y, the length
// of the weights, every y finite ("y must be finite; got y={} at row {}"),
// every weight finite and non-negative, then the informative rows
// (driver_common.hpp).
//
// The fit runs in the data's own units: on ỹ = (y − ȳ)/sd(y) (centred only
// when column 0 is a free intercept; a constant response is divided by its
// level instead) and on the weights over their mean, so that the level and
// the units of y and of the weights cannot leak into the result. XᵀW̃X and
// XᵀW̃ỹ are formed once; every inner fit is the closed-form penalized
// least-squares solve. The log smoothing parameters are chosen by damped
// Newton on the Gaussian REML score (outer/rho_newton.hpp: start and box of
// outer/outer_frame.hpp, tolerances 5e-7/1e-7 unless the thread's tuning
// override replaces them;
// the thread's outer-algorithm setting is not read). Scale: the penalized
// residual sum of squares over n − Mp, n the rows of positive weight (NaN
// when n ≤ Mp), floored at the score's floor; vcov = scale·H⁻¹.
//
// The record is in the user's units: β, ρ (λ times the mean weight), scale,
// vcov, and reml_value, the REML score of the user's data at the returned ρ
// (the internal score plus the exact constant (n/2)·ln w̄ + (n − Mp)·ln sd(y)).
// Errors: the first evaluation's error, NotConverged, the final fit's error,
// and InvalidParameter "y is too large to fit in its units: ..." when the
// scale or the covariance in the user's units overflows, "y is too small to
// fit in its units: ..." when the scale or a variance of a coefficient falls
// below the smallest normal double (check_units_range, driver_common.hpp).
#pragma once

#include <optional>

#include "core/error.hpp"
#include "design/model_design.hpp"
#include "fit/driver_common.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

Result<FittedGam> fit_gaussian(ModelDesign design, Vector y, std::optional<Vector> weights);

}  // namespace quelt

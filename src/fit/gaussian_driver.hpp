// End-to-end fit of the "gaussian" family (identity link).
//
// fit_gaussian(design, y, weights):
//   design   the model design, taken over (its predictor moves into the
//            record);
//   y        the response, one value per row of design.x;
//   weights  optional prior weights, one per row (absent: all 1.0).
// Checks (InvalidParameter, in this order): the row count of y, the length
// of the weights, every y finite ("y must be finite; got y={} at row {}"),
// every weight finite and non-negative.
//
// XᵀWX and XᵀWy are formed once; every inner fit is the closed-form
// penalized least-squares solve. The log smoothing parameters are chosen by
// damped Newton on the Gaussian REML score (bounds [−30, 30], start 0,
// tolerances 5e-7/1e-7 unless the thread's tuning override replaces them;
// the thread's outer-algorithm setting is not read). Scale: the penalized
// residual sum of squares over n − Mp (NaN when n ≤ Mp); vcov = scale·H⁻¹.
// Errors: the first evaluation's error, NotConverged, the final fit's error.
#pragma once

#include <optional>

#include "core/error.hpp"
#include "design/model_design.hpp"
#include "fit/driver_common.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

Result<FittedGam> fit_gaussian(ModelDesign design, Vector y, std::optional<Vector> weights);

}  // namespace quelt

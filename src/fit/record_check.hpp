// Shape consistency of a fitted-model record: the predictor's stored arrays
// fit together, the model matrix it builds has one column per coefficient,
// vcov is p x p and the per-penalty arrays agree in length. Records made by
// the drivers always pass; a record read from bytes is checked before use, so
// that evaluating it never indexes out of bounds.
#pragma once

#include "core/error.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

// ok, or InvalidParameter describing the first disagreement found.
Status check_record_shapes(const FittedGam& g);

}  // namespace quelt

// The hand-over from argument parsing to the fit drivers: one call per fit
// that selects the family's driver, runs it on the design and wraps the
// fitted record in a new FittedGam object.
#pragma once

#include <cstddef>
#include <optional>

#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "python/fit_args.hpp"
#include "python/pyref.hpp"

namespace quelt::py {

// Runs the driver of `family` with the design (taken over), the number of
// rows of x, y and the optional prior weights. Returns a new reference to the
// FittedGam; a driver's QueltError is thrown for the boundary to map.
PyObject* dispatch_fit(const FamilyChoice& family, ModelDesign&& design, std::size_t n_rows,
                       Vector&& y, std::optional<Vector>&& weights);

}  // namespace quelt::py

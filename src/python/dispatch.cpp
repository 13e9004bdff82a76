#include "python/dispatch.hpp"

#include <string>

#include "core/format.hpp"
#include "python/convert.hpp"

namespace quelt::py {

PyObject* dispatch_fit(const FamilyChoice& family, ModelDesign&& design, std::size_t n_rows,
                       Vector&& y, std::optional<Vector>&& weights) {
  // The design, data and weights are dropped on every path out of here.
  ModelDesign owned = std::move(design);
  Vector owned_y = std::move(y);
  std::optional<Vector> owned_w = std::move(weights);
  (void)n_rows;
  raise(PyExc_NotImplementedError,
        "family " + quoted(family.name) + ": its fit driver is not available yet");
}

}  // namespace quelt::py

#include "python/dispatch.hpp"

#include <string>
#include <utility>

#include "core/format.hpp"
#include "fit/fitted_record.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fitted_gam.hpp"

namespace quelt::py {

namespace {

// The record of a successful fit in a new FittedGam; a driver's error is
// thrown for the boundary to map. If the object cannot be allocated the
// record is dropped and the interpreter's error is raised.
[[maybe_unused]] PyObject* wrap_record(Result<FittedGam>&& fitted) {
  FittedGam rec = unwrap(std::move(fitted));
  PyObject* obj = new_fitted_gam(std::move(rec));
  if (obj == nullptr) throw_pyerr();
  return obj;
}

[[noreturn]] void no_driver_yet(const FamilyChoice& family) {
  raise(PyExc_NotImplementedError,
        "family " + quoted(family.name) + ": its fit driver is not available yet");
}

}  // namespace

PyObject* dispatch_fit(const FamilyChoice& family, ModelDesign&& design, std::size_t n_rows,
                       Vector&& y, std::optional<Vector>&& weights) {
  // Owned here, so the design, data and weights are dropped on every path.
  ModelDesign owned = std::move(design);
  Vector owned_y = std::move(y);
  std::optional<Vector> owned_w = std::move(weights);
  (void)n_rows;
  // One case per family of the table, each running its own driver.
  switch (family.kind) {
    case FamilyKind::Gaussian:
    case FamilyKind::Bernoulli:
    case FamilyKind::Poisson:
    case FamilyKind::QuasiPoisson:
    case FamilyKind::QuasiBinomial:
    case FamilyKind::GammaInverse:
    case FamilyKind::GammaLog:
    case FamilyKind::InverseGaussian:
    case FamilyKind::NegBin:
    case FamilyKind::TDist:
    case FamilyKind::Tweedie:
    case FamilyKind::Ocat:
    case FamilyKind::Elf:
      break;
  }
  no_driver_yet(family);
}

}  // namespace quelt::py

#include "python/dispatch.hpp"

#include <string>
#include <utility>

#include "core/format.hpp"
#include "family/families.hpp"
#include "fit/fitted_record.hpp"
#include "fit/gaussian_driver.hpp"
#include "fit/negbin_driver.hpp"
#include "fit/quantile_driver.hpp"
#include "fit/shape_driver.hpp"
#include "fit/std_driver.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fitted_gam.hpp"

namespace quelt::py {

namespace {

// The record of a successful fit in a new FittedGam; a driver's error is
// thrown for the boundary to map. If the object cannot be allocated the
// record is dropped and the interpreter's error is raised.
PyObject* wrap_record(Result<FittedGam>&& fitted) {
  FittedGam rec = unwrap(std::move(fitted));
  PyObject* obj = new_fitted_gam(std::move(rec));
  if (obj == nullptr) throw_pyerr();
  return obj;
}

}  // namespace

PyObject* dispatch_fit(const FamilyChoice& family, ModelDesign&& design, std::size_t n_rows,
                       Vector&& y, std::optional<Vector>&& weights) {
  // Taken over here, so the design, data and weights are dropped on every
  // path; the drivers check y and the weights against the design's rows.
  ModelDesign d = std::move(design);
  Vector yv = std::move(y);
  std::optional<Vector> w = std::move(weights);
  (void)n_rows;
  // One case per family of the table, each running its own driver.
  switch (family.kind) {
    case FamilyKind::Gaussian:
      return wrap_record(fit_gaussian(std::move(d), std::move(yv), std::move(w)));
    case FamilyKind::Bernoulli:
      return wrap_record(
          fit_std_family(std::move(d), std::move(yv), std::move(w), bernoulli_logit()));
    case FamilyKind::Poisson:
      return wrap_record(fit_std_family(std::move(d), std::move(yv), std::move(w), poisson_log()));
    case FamilyKind::QuasiPoisson:
      return wrap_record(
          fit_std_family(std::move(d), std::move(yv), std::move(w), quasipoisson_log()));
    case FamilyKind::QuasiBinomial:
      return wrap_record(
          fit_std_family(std::move(d), std::move(yv), std::move(w), quasibinomial_logit()));
    case FamilyKind::GammaInverse:
      return wrap_record(
          fit_std_family(std::move(d), std::move(yv), std::move(w), gamma_inverse()));
    case FamilyKind::GammaLog:
      return wrap_record(fit_std_family(std::move(d), std::move(yv), std::move(w), gamma_log()));
    case FamilyKind::InverseGaussian:
      return wrap_record(
          fit_std_family(std::move(d), std::move(yv), std::move(w), inverse_gaussian_log()));
    case FamilyKind::Elf:
      return wrap_record(
          fit_elf_quantile(std::move(d), std::move(yv), std::move(w),
                           elf_identity(family.tau, family.elf_sigma, family.elf_lambda)));
    case FamilyKind::TDist:
      return wrap_record(fit_shape_family(std::move(d), std::move(yv), std::move(w),
                                          tdist_identity(family.nu, family.sigma2)));
    case FamilyKind::Tweedie: {
      Tweedie tw = tweedie_log(family.tweedie_p, family.tweedie_phi);
      tw.estimate_p = family.tweedie_estimate_p;
      return wrap_record(fit_shape_family(std::move(d), std::move(yv), std::move(w), tw));
    }
    case FamilyKind::NegBin:
      return wrap_record(
          fit_negbin(std::move(d), std::move(yv), std::move(w), negbin_log(family.theta)));
    case FamilyKind::Ocat:
      return wrap_record(fit_shape_family(
          std::move(d), std::move(yv), std::move(w),
          Ocat{Vector(family.ocat_thresholds.begin(), family.ocat_thresholds.end()),
               static_cast<std::size_t>(family.ocat_n_cats)}));
  }
  invariant_failed("dispatch_fit: family " + quoted(family.name) + " has no driver");
}

}  // namespace quelt::py

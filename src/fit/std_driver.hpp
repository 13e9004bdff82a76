// End-to-end fits of the seven standard families: Bernoulli ("bernoulli",
// "binomial"), QuasiBinomial ("quasibinomial"), Poisson ("poisson"),
// QuasiPoisson ("quasipoisson"), GammaLog ("gamma"), GammaInverse ("Gamma")
// and InverseGaussian ("inverse_gaussian", "inverse.gaussian").
//
// fit_std_family<Family>(design, y, weights[, family]):
//   design   the model design, taken over (its predictor moves into the
//            record, everything else is dropped);
//   y        the response, one value per row of design.x;
//   weights  optional prior weights, one per row (absent: all 1.0);
//   family   the family value (these families carry no parameters).
// Checks, each an InvalidParameter error, in this order: the row count of y,
// the length of the weights, then row by row the family's y domain
// (Family::y_domain: "{Name} requires y in [0, 1]; got y={} at row {}",
// "... requires y ≥ 0; ...", "... requires y > 0; ...") and finiteness
// ("y must be finite; got y={} at row {}"), then the weights ("prior_weights must be finite and
// non-negative; got weight={} at row {}").
//
// Then the informative rows (driver_common.hpp), the size of one row against
// the others (fit/std_data_checks.hpp: a response or a prior weight whose
// share of the fit a 64-bit float cannot resolve), and for the quasi-Poisson,
// Gamma and inverse Gaussian families the size of y: these fit in the data's
// own units, on y/ȳ with weights w/w̄, and return the record in the user's
// units (fit/response_units.hpp: "y is too large to fit in its units: ..." or
// "y is too small ..." where the variance at the mean response, or the
// record, cannot be held in a double). Their prior weights are precisions.
// A refusal that blames one far row, before the fit or after it failed
// (fit/std_data_checks.hpp), gives way to the SingularSystem error of a
// design whose penalized system is singular whatever y holds
// (fit/design_rank.hpp): terms that share an unpenalized function.
//
// The smoothing parameters are chosen by damped Newton on the REML score
// (outer/rho_newton.hpp: start, box [ρ⁰ − 30, ρ⁰ + 30] and convergence
// origin of outer/outer_frame.hpp, the family's tolerances, 5e-7/1e-7, or
// 5e-5/1e-5 for the Gamma and inverse Gaussian families, replaced by the
// thread's tuning override when set) or, when the thread's outer algorithm
// selects it, by Fellner-Schall updates from the same start. The final fit at the chosen ρ
// gives the record: scale 1 for Bernoulli and Poisson, otherwise the Pearson
// statistic with the family's V(μ) over n − edf_total, n the rows of positive weight (NaN without
// residual degrees of freedom; floored at the score's scale floor);
// vcov = scale·H⁻¹, edf and vcov from H = XᵀWX + S_λ at the final fit's
// returned weights. The Poisson families refuse a final fit whose mean fell
// below the mean floor at a row with y > 0 (fit/std_data_checks.hpp); a
// Pearson scale that overflows is refused as the scale estimate's overflow.
// Errors: the first evaluation's or any Fellner-Schall inner fit's error,
// NotConverged when the Newton loop uses up its iterations, the final fit's
// error.
#pragma once

#include <optional>

#include "core/error.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "fit/driver_common.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

template <class Family>
Result<FittedGam> fit_std_family(ModelDesign design, Vector y, std::optional<Vector> weights,
                                 Family family = Family{});

#define QUELT_STD_DRIVER_EXTERN(F)                                                                \
  extern template Result<FittedGam> fit_std_family<F>(ModelDesign, Vector, std::optional<Vector>, \
                                                      F);
QUELT_STD_DRIVER_EXTERN(Bernoulli)
QUELT_STD_DRIVER_EXTERN(QuasiBinomial)
QUELT_STD_DRIVER_EXTERN(Poisson)
QUELT_STD_DRIVER_EXTERN(QuasiPoisson)
QUELT_STD_DRIVER_EXTERN(GammaLog)
QUELT_STD_DRIVER_EXTERN(GammaInverse)
QUELT_STD_DRIVER_EXTERN(InverseGaussian)
#undef QUELT_STD_DRIVER_EXTERN

}  // namespace quelt

// The units in which a quasi-Poisson, Gamma or inverse Gaussian fit runs.
//
// These fits run on ỹ = y/ȳ and w̃ = w/w̄, ȳ the weighted mean response and
// w̄ the mean weight over the rows of positive weight: ỹ has mean 1 in any
// units of y, so the starting means, the floors of the means, variances,
// scale and inverse link, and the cut-offs of the working weights, all set
// for responses of ordinary size, sit at the same place relative to the data
// whatever its units. With V(μ) = μ^k (k = 1 quasi-Poisson, 2 Gamma, 3
// inverse Gaussian), the Fisher weight moves as W(c·μ) = c^a·W(μ) (a = 2 − k
// under the log link, 4 − k under the inverse link) and the scale as c^b
// (b = 2 − k), so the record returns to the user's units by
//
//   β      log link: β₀ + ln ȳ (column 0 the unpenalized intercept), the
//          rest as they are; inverse link: β/ȳ
//   vcov   log link: as it is; inverse link: vcov/ȳ²
//   ρ      ρ + a·ln ȳ + ln w̄
//   scale  φ·w̄·ȳ^b
//   score  V + ((n − Mp)·b/2 + Mp·a/2 + s·n)·ln ȳ + (n/2)·ln w̄
//          (score/data_units.hpp): the scale and log|H| − log|S_λ|₊ give
//          the first two terms, the saturated log-likelihood −s·Σ ln y_i the
//          third (s = 1 Gamma, 3/2 inverse Gaussian, 0 quasi-Poisson); the
//          last is the quasi-Poisson's alone, whose −(n/2)·ln φ does not take
//          each row at its own dispersion φ/w_i as the Gamma and inverse
//          Gaussian scores do
//
// A log-link design whose intercept is not free keeps y in the user's units,
// and so does a quasi-Poisson response of zeros alone, which has no size.
#pragma once

#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "fit/driver_common.hpp"

namespace quelt {

struct ResponseUnits {
  double y_unit = 1.0;       // ȳ (1: y stays in the user's units)
  double weight_unit = 1.0;  // w̄
};

// The units of y and w (checked by the driver: finite y in the family's
// domain, finite non-negative w with a positive entry). Refused, before any
// numeric work, when the family's variance at a positive mean response, ȳ^k,
// is not a positive normal double:
//   "y is too large to fit in its units: the {Name} variance μ^k at the mean
//    response ȳ={} overflows a 64-bit float; divide y by a constant"
//   "y is too small to fit in its units: the {Name} variance μ^k at the mean
//    response ȳ={} is below the smallest normal 64-bit float; multiply y by
//    a constant"
// (μ^k written μ, μ² or μ³).
template <class Family>
Result<ResponseUnits> response_units(std::span<const double> y, const std::optional<Vector>& w,
                                     const ModelDesign& design);

// y ← y/ȳ and w ← w/w̄; a row of zero weight, which is not data, gets ỹ = 1.
void to_fit_units(const ResponseUnits& u, Vector& y, std::optional<Vector>& w);

// The outcome, coefficients and covariance of the fit back in the user's
// units (table above); n the rows of positive weight, mp the null-space
// dimension, `scored` whether reml_value holds a score (not after
// Fellner-Schall updates). Refused with the messages above, "the scale" or
// "the covariance of the coefficients" in place of the variance, when the
// scale or the covariance cannot be held in the user's units
// (check_units_range of fit/driver_common.hpp).
template <class Family>
Status to_user_units(const ResponseUnits& u, std::size_t n, std::size_t mp, bool scored,
                     FitOutcome& out, Vector& beta, Matrix& vcov);

#define QUELT_RESPONSE_UNITS_EXTERN(F)                                                          \
  extern template Result<ResponseUnits> response_units<F>(                                      \
      std::span<const double>, const std::optional<Vector>&, const ModelDesign&);               \
  extern template Status to_user_units<F>(const ResponseUnits&, std::size_t, std::size_t, bool, \
                                          FitOutcome&, Vector&, Matrix&);
QUELT_RESPONSE_UNITS_EXTERN(QuasiPoisson)
QUELT_RESPONSE_UNITS_EXTERN(GammaLog)
QUELT_RESPONSE_UNITS_EXTERN(GammaInverse)
QUELT_RESPONSE_UNITS_EXTERN(InverseGaussian)
#undef QUELT_RESPONSE_UNITS_EXTERN

}  // namespace quelt

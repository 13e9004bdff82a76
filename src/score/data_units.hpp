// The units of a fit's data, and the part of the REML score that only
// measures them.
//
// Multiplying y by c changes no model: the fit of c·y is the fit of y in
// other units. For each family the Fisher weight and the scale follow as
// W(c·μ) = c^a·W(μ) and φ → c^b·φ, so the optimal λ moves by c^a and the
// score V (envelope.hpp) by a constant:
//
//   family              a    b    V(c·y) − V(y) at corresponding ρ
//   Gaussian            0    2    (n − Mp)·ln c
//   quasi-Poisson       1    1    (n − Mp)/2·ln c + (Mp/2)·ln c
//   Gamma, log link     0    0    n·ln c
//   Gamma, inverse      2    0    n·ln c + Mp·ln c
//   inverse Gaussian   −1   −1    −(n − Mp)/2·ln c − (Mp/2)·ln c + (3/2)·n·ln c
//
// (n the rows of positive weight). The (n − Mp)/2·ln φ terms come from the
// estimated scale, (Mp/2)·ln c^a from ½log|H| − ½log|λS|₊ (H and S_λ both
// scale by c^a; S_λ has rank p − Mp), and the n·ln c terms from the
// saturated log-likelihood, −Σ ln y_i for Gamma and −(3/2) Σ ln y_i for the
// inverse Gaussian. Multiplying the prior weights of an estimated-scale
// family by c moves λ and φ by c alike: the Gaussian and quasi scores shift by
// (n/2)·ln c (their ls counts −n/2·ln φ alone), while the Gamma and inverse
// Gaussian scores, whose ls takes each row at its dispersion φ/w_i, do not
// move. Binomial and Poisson responses have no units.
//
// `score_origin` is that constant evaluated at the data's own units (the
// dispersion for φ, the Fisher weight at the mean response for W, the mean
// response for y), so V − origin is the score of the data expressed in their
// own units: a number that a change of units leaves exactly as it is. The
// outer loop measures its convergence tests against |V − origin|.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/weighted_moments.hpp"

namespace quelt {

// Floor of an estimated scale (other than Gamma's dimensionless one), as a
// multiple of the data's own dispersion (DataUnits::dispersion), so that it
// follows the units of the data as the scale does.
inline constexpr double kScaleFloorRel = 1e-8;

// Reference values that follow the units of y and of the weights exactly.
struct DataUnits {
  std::size_t n_obs = 0;
  double weight_sum = 0.0;     // Σ w_i
  double mean_y = 0.0;         // ȳ
  double fisher_weight = 1.0;  // W(ȳ): the Fisher weight at the mean response, unit prior weight
  double weight_level = 1.0;   // ω = w̄·W(ȳ)
  // Σ w_i (y_i − ȳ)² / V(ȳ) / n_obs, the data's own dispersion; for a
  // constant response, which has none, w̄·ȳ²/V(ȳ), or w̄ when that is not a
  // positive number.
  double dispersion = 1.0;
  bool constant_y = false;  // every row of positive weight has the same y
};
// From the context's weighted moments of y (no pass over the data).
template <class Family>
DataUnits data_units(const FitContext<Family>& ctx);

// The units part of the score (table above) at the data's own units; 0 for
// Poisson and Bernoulli. A term whose logarithm is undefined (a mean
// response or a dispersion that is not a positive number) is left out.
template <class Family>
double score_origin(const FitContext<Family>& ctx, const DataUnits& units);

#define QUELT_DATA_UNITS_EXTERN(F)                               \
  extern template DataUnits data_units<F>(const FitContext<F>&); \
  extern template double score_origin<F>(const FitContext<F>&, const DataUnits&);
QUELT_DATA_UNITS_EXTERN(Gaussian)
QUELT_DATA_UNITS_EXTERN(Bernoulli)
QUELT_DATA_UNITS_EXTERN(QuasiBinomial)
QUELT_DATA_UNITS_EXTERN(Poisson)
QUELT_DATA_UNITS_EXTERN(QuasiPoisson)
QUELT_DATA_UNITS_EXTERN(GammaLog)
QUELT_DATA_UNITS_EXTERN(GammaInverse)
QUELT_DATA_UNITS_EXTERN(InverseGaussian)
#undef QUELT_DATA_UNITS_EXTERN

}  // namespace quelt

// The units in which a shape-family fit runs. The scaled t and Tweedie are
// fitted to ỹ = y/c, c a power of two (so that the division is exact), and
// the record is taken back to the units of y; the negative binomial and the
// ordered-categorical family have responses without units (c = 1).
//
// Scaled t (location-scale, identity link): c = 2^round(log₂ s_y), s_y the
// robust spread 1.4826·MAD of y (sd(y) when more than half of y are equal),
// so that the search, its pilot fit and every cross product run on data of
// unit spread whatever the size of y, and one wild response does not shrink
// the other rows towards the bottom of the float range. Back: β = c·β̃, σ² = c²σ̃² (log σ² + 2ln c),
// ρ = ρ̃ − 2ln c (W ∝ 1/σ²), vcov = c²·vcoṽ, V = Ṽ + (Σw + R − p)·ln c (R the
// rank count of the penalties, score/shape_tdist.hpp).
//   Before the search the pilot fit (score/scale_pilot.hpp) runs in these
// units; its ρ and residual variance set the start, its fitted values the
// start of every inner fit. A residual of the pilot more than 2^460 (about
// 1e138) times its robust spread cannot be squared against σ² down to the
// floor of its box without overflow: "y is too large to fit in its units:
// y={} at row {} lies more than 2^460 spreads of the noise from the curve;
// its squared residual overflows a 64-bit float"; so does a response that
// y/c takes beyond the float range, which lies further still.
//
// Tweedie (log link, with the intercept free, fit/driver_common.hpp):
// c = 2^round(log₂ ȳ). Back, with p̂ the fitted power: μ = c·μ̃ (β₀ + ln c),
// φ = c^(2−p̂)·φ̃ (log φ + (2−p̂)ln c), ρ = ρ̃ + (2−p̂)ln c (W ∝ μ^(2−p)),
// vcov = φ·H⁻¹ unchanged, V = Ṽ + Σ_{y_i>0} w_i·ln c.
//
// A scale or covariance that cannot be held in the units of y gives the
// errors of the Gaussian fit (check_units_range, fit/driver_common.hpp): "y
// is too large to fit in its units: the scale estimate overflows a 64-bit
// float; divide y by a constant", or "y is too small to fit in its units:
// the scale estimate is below the smallest normal 64-bit float; multiply y
// by a constant" (or the covariance of the coefficients in place of the
// scale).
#pragma once

#include "core/error.hpp"
#include "family/families.hpp"
#include "fit/fitted_record.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

// Largest residual of the scaled t's pilot, in robust spreads: 2^460.
inline constexpr double kLargestPilotSpreads = 0x1p460;

// Divides y (and what the context derived from it, and the starting scale of
// the family) by c and returns c; for the scaled t also runs the pilot.
Result<double> enter_units(FitContext<TDist>& ctx);
Result<double> enter_units(FitContext<Tweedie>& ctx);
inline Result<double> enter_units(FitContext<Ocat>&) { return 1.0; }

// The record of the fit to ỹ taken to the units of y.
Status leave_units(FittedGam& rec, const FitContext<TDist>& ctx, double c);
Status leave_units(FittedGam& rec, const FitContext<Tweedie>& ctx, double c);
inline Status leave_units(FittedGam&, const FitContext<Ocat>&, double) { return ok_status(); }

}  // namespace quelt

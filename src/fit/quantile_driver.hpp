// End-to-end quantile regression with the extended log-F family (identity
// link).
//
// fit_elf_quantile(design, y, weights, family):
//   design   the model design, taken over (its predictor moves into the
//            record);
//   y        the response, one value per row of design.x;
//   weights  optional prior weights a_i, one per row, used as frequency
//            weights throughout: a weight of 2 equals a duplicated row, a
//            weight of 0 an absent one;
//   family   Elf {tau, sigma, lambda}; a σ or λ that is not > 0 (NaN
//            included) is chosen automatically.
//
// Units: the fit runs on y/c, c the robust spread of y (response_unit in
// fit/quantile_constants.hpp: 1.4826 times its weighted median absolute
// deviation, with fallbacks), so that every constant below (the floor of the
// residual scale, the start and box of ρ, the tolerances of the inner and
// outer fits) is relative to the spread of the bulk of y, which a few wild
// responses do not move: the fit of c'·y is c' times the fit of y, up to
// rounding. Rows of weight 0 enter as y = 0.
//
// Warm start: the weighted penalized least-squares fit at unit smoothing
// parameters to y clipped at 10 robust standard deviations from its median,
// with residuals e (of the unclipped y) and s their robust variance, floored
// at 1e-6 (in units of c²); shifted by the residual τ-quantile of the rows
// repeated a_i times (the k-th smallest, k = round((Σ a − 1)·τ)). Every
// inner fit starts from it.
//
// Automatic constants (fit/quantile_constants.hpp), each chosen on its own
// when not given: σ = 0.05·√(2π·s)/ln 4 · max(1/(4τ(1−τ)), 1) and
// λ = 2.3·max(W, 1)^(−1/3)·√(4τ(1−τ))·√s, W = Σ a. A given σ or λ is in the units
// of y.
//
// The log smoothing parameters are chosen by damped Newton on the ELF REML
// score (score/elf_score.hpp, outer/rho_newton.hpp; tolerances 5e-7/1e-7
// unless the thread's tuning override replaces them; the outer-algorithm
// setting is not read).
//
// Record, in the units of y: β, ρ, λ = exp(ρ); scale = σ; vcov the sandwich
// H⁻¹(Xᵀdiag(a·g²)X + S_λ)H⁻¹ of the final fit (σ·H⁻¹ alone does not cover:
// the curvature of the smoothed loss is not the density of the errors);
// reml_value the score; converged = the outer loop's flag AND the final
// inner fit's; shape_params empty.
//
// Errors: the data checks of check_quantile_data; SingularSystem "ELF
// warm-start Cholesky: {}"; the first evaluation's error; NotConverged; the
// final fit's error; InvalidParameter "y is too large to fit in its units:
// the covariance of the coefficients overflows a 64-bit float; divide y by a
// constant" when the covariance in the units of y is not finite, and "y is
// too small to fit in its units: the covariance of the coefficients is below
// the smallest normal 64-bit float; multiply y by a constant" when a variance
// of a coefficient falls below the normal doubles (check_units_range,
// fit/driver_common.hpp; likewise the estimated σ).
#pragma once

#include <optional>
#include <span>

#include "core/error.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "fit/fitted_record.hpp"

namespace quelt {

// The checks of the quantile driver, before any numeric work
// (InvalidParameter, in this order):
//   the row count of y and the length of the weights (check_data_lengths);
//   "Quantile (ELF) needs at least one observation; got n=0";
//   "Quantile (ELF) tau must be in the open interval (0, 1) — 0/1 are
//    degenerate (point mass at min/max); got tau={}";
//   "y must be finite; got y={} at row {}";
//   "prior_weights must be finite and non-negative; got weight={} at row {}";
//   "prior_weights must not all be zero";
//   "Quantile (ELF) elf_sigma and elf_lambda must be finite; got
//    elf_sigma={} elf_lambda={}" for a σ or λ of +∞.
Status check_quantile_data(std::size_t n_rows, std::span<const double> y,
                           const std::optional<Vector>& weights, const Elf& family);

Result<FittedGam> fit_elf_quantile(ModelDesign design, Vector y, std::optional<Vector> weights,
                                   Elf family);

}  // namespace quelt

// Robust scales of the quantile (ELF) fit and its automatic constants. The
// prior weights a_i are frequency weights throughout (W = Σ_i a_i; absent
// weights: a_i = 1): every quantity here is a weighted sum or a weighted
// order statistic, so a weight of k equals k repeated rows and a weight of 0
// an absent row. med_a is the order statistic below at τ = ½, and a robust
// standard deviation is 1.4826·med_a|v_i − med_a(v)| (1.4826 = 1/Φ⁻¹(¾), so
// that it is the standard deviation for normal data; unlike the standard
// deviation it is not inflated by heavy tails or a few wild values).
//
// The automatic constants, from the residuals e of the least-squares warm
// start, with s their robust variance:
//
//   σ = 0.05·√(2π·s)/ln 4 · max(1/(4τ(1−τ)), 1)     (the learning rate:
//     it weighs the loss against the penalty, and so sets the smoothness),
//
//   λ = 2.3·max(W, 1)^(−1/3)·√(4τ(1−τ))·√s          (the loss smoothing).
//
// Both are in the units of e, so the fit of c·y is c times the fit of y.
#pragma once

#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "core/robust_scale.hpp"

namespace quelt {

// The unit the fit works in: the robust standard deviation of y over the
// rows of positive weight; when that is 0 (more than half of y equal) or so
// small that max|y| over it overflows, the weighted standard deviation, then
// |weighted mean|, then 1 for y = 0. Formed on y/max|y|, so nothing
// overflows.
double response_unit(std::span<const double> y, const std::optional<Vector>& a, double total);

// y clipped to med_a(y) ± 10 robust standard deviations (unchanged when that
// is 0): the response of the warm start.
Vector clipped_response(std::span<const double> y, const std::optional<Vector>& a, double total);

// s: the robust variance of the residuals e; Σa·e²/W when that is 0 (more
// than half of the residuals equal); floored at `floor`.
double robust_residual_variance(std::span<const double> e, const std::optional<Vector>& a,
                                double total, double floor);

// σ and λ at the residual variance s (already floored), level τ and W.
double automatic_elf_sigma(double s, double tau);
double automatic_elf_lambda(double s, double tau, double total);

}  // namespace quelt

// Data and starting-value checks of the shape-family driver, one overload per
// family, in the order the driver runs them after the length checks:
// starting values first, then the responses row by row.
#pragma once

#include <span>

#include "core/error.hpp"
#include "family/families.hpp"

namespace quelt {

// InvalidParameter unless 2 < ν < ∞:
//   "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu={}"
// then unless σ² is finite and > 0:
//   "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2={}"
Status check_shape_start(const TDist& f);
// Unless 1 < p < 2 (NaN fails):
//   "Tweedie variance power must be in (1, 2) — strict interior (p=1 → Poisson, p=2 →
//    Gamma — use those families directly); got init_p={}"
// then unless φ is finite and > 0:
//   "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi={}"
Status check_shape_start(const Tweedie& f);
// Unless θ is finite and > 0:
//   "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high
//    variance, large θ → Poisson limit); got init_theta={}"
Status check_shape_start(const NegBin& f);
// Unless R ≥ 3:
//   "Ocat requires n_cats ≥ 3 (≤ 2 levels collapses to Bernoulli — use
//    bernoulli_logit instead); got n_cats={}"
// (the count of starting thresholds is checked after the responses).
Status check_shape_start(const Ocat& f);

// Scaled t: every y finite ("y must be finite; got y={} at row {}").
Status check_shape_response(const TDist&, std::span<const double> y);
// Tweedie: per row, y < 0 gives "Tweedie requires y ≥ 0; got y={} at row {}",
// then a non-finite y the message above.
Status check_shape_response(const Tweedie&, std::span<const double> y);
// Negative binomial: per row, y < 0 gives "NegBin requires y ≥ 0; got y={} at
// row {}", then a non-finite y the message above.
Status check_shape_response(const NegBin&, std::span<const double> y);
// Ocat: per row, a non-finite y the message above, then y rounded half away
// from zero outside 1..R:
//   "Ocat requires y to be an integer in 1..={R}; got y={} at row {}"
// (a non-integer label that rounds into 1..R is its category); then a count
// of starting thresholds other than R − 2:
//   "Ocat init_theta length must equal n_cats - 2 = {} (log-gap thresholds
//    between adjacent categories above the first); got {}"
Status check_shape_response(const Ocat& f, std::span<const double> y);

}  // namespace quelt

// Checks of the data of a shape family that only its rows of positive prior
// weight decide (a row of weight 0 is not data: its response, however wild,
// never makes a fit fail). They run after the checks of fit/shape_checks.hpp
// and after the count of informative rows; each failure is InvalidParameter.
//
// Prior weights of the shape families are frequency weights: their sum is
// the number of observations. Fewer than the model's coefficients leave the
// shape parameters to the penalty and the log-determinants alone:
//   "prior_weights sum to {Σw}, fewer observations than the model's {p}
//    coefficients; the {family} family counts prior weights as frequency
//    weights, so their sum is the number of observations"
//
// A response without spread leaves the shape parameters without information
// (σ² and ν of the scaled t, φ and p of Tweedie, θ of the negative binomial):
//   "y is constant (y={v} on every row of positive weight); the {family}
//    family estimates its shape parameters from the spread of y"
// and for the ordered-categorical family, whose cut points need two observed
// categories:
//   "y has a single observed category: every row of positive weight has y in
//    category {k} of 1..={R}; Ocat needs at least two observed categories"
//
// Responses beyond what a 64-bit fit resolves ("y is too large to fit in its
// units: …"), checked apart by check_far_response, after the checks above,
// so that the driver can report a design singular whatever y holds in their
// place (fit/design_rank.hpp):
//   negative binomial: a count above 2^53, past which a 64-bit float does not
//     hold every integer;
//   Tweedie: a response more than 2^52 times the median positive response,
//     whose Fisher weight (μ^(2−p)) would outweigh the other rows beyond the
//     resolution of the normal equations.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/weighted_moments.hpp"

namespace quelt {

// The largest count a 64-bit float holds with every integer below it: 2^53.
inline constexpr double kLargestExactCount = 9007199254740992.0;
// The largest ratio of a Tweedie response to the median positive response: 2^52, one
// over the resolution of a 64-bit float.
inline constexpr double kTweedieLargestRatio = 4503599627370496.0;

Status check_shape_data(const TDist&, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p);
Status check_shape_data(const Tweedie&, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p);
Status check_shape_data(const NegBin&, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p);
Status check_shape_data(const Ocat& f, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p);

Status check_far_response(const Tweedie&, std::span<const double> y,
                          const std::optional<Vector>& w);
Status check_far_response(const NegBin&, std::span<const double> y, const std::optional<Vector>& w);
inline Status check_far_response(const TDist&, std::span<const double>,
                                 const std::optional<Vector>&) {
  return ok_status();
}
inline Status check_far_response(const Ocat&, std::span<const double>,
                                 const std::optional<Vector>&) {
  return ok_status();
}

}  // namespace quelt

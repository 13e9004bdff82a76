// Checks of the data of the standard families that the size of one row
// decides, each an InvalidParameter error. Only rows of positive prior
// weight count (a row of weight 0 is not data).
//
// PIRLS solves the normal equations (XᵀWX + S_λ)β = XᵀWz. A row whose Fisher
// weight is 2^52 times that of the typical row puts rounding of the size of
// the typical row's whole contribution into XᵀWX: the other rows are lost,
// and the factorization fails or returns noise. With W ∝ w·μ^a at μ = y
// (a = 1 for the Poisson families, 2 for the Gamma inverse link, −1 for the
// inverse Gaussian, 0 for the Gamma log link), one row's weight may be at
// most 2^48 times the median (a margin of 16 below the resolution): for
// a ≥ 1 a response at most 2^(48/a) times the median positive response, and
// the same 2^48 on the prior weights. Where the weight does not grow with y
// (a ≤ 0) a far response's deviance does, about y/median times the other
// rows', and it is held to 2^48 as well; where it falls with y (the inverse
// Gaussian) a tiny response is held to 2^-48 times the median.
//   "y is too large to fit in its units: y={} at row {} is more than 2^{48/a}
//    times the median positive response {}; its share of the fit would
//    outweigh the other rows beyond what a 64-bit float resolves"
//   "y is too small to fit in its units: y={} at row {} is less than 2^-48
//    times the median response {}; ..."
//   "prior_weights: weight={} at row {} is more than 2^48 times the median
//    positive weight {}; ..."
// The bounds are ratios of y to y (of w to w), free of the units of either.
// Responses of the binomial families are proportions, bounded already.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"

namespace quelt {

// a of W ∝ μ^a at μ = y for family F (0 also for the binomial families).
template <class Family>
constexpr int fisher_weight_power() {
  if constexpr (requires { Family::variance_power; })
    return (Family::link == Link::Inverse ? 4 : 2) - Family::variance_power;
  else if constexpr (Family::link == Link::Log)
    return 1;  // V(μ) = μ
  else
    return 0;
}

// The bounds above on the prior weights and, unless y_bounded, on y, with
// median_y the median positive response of the rows that count
// (FarResponse::median; 0 when there is none).
Status check_row_weights(int weight_power, bool y_bounded, std::span<const double> y,
                         const std::optional<Vector>& w, double median_y);

// The response whose share of the fit stands farthest above the median
// response's, in units of weight: (y/median)^a for a ≥ 1, y/median for the
// Gamma log link, the larger of y/median and median/y for the inverse
// Gaussian (ratio 1 and row 0 when nothing stands out, or y is bounded),
// with the median positive response of the rows that count (0 when y is
// bounded or none is positive).
struct FarResponse {
  std::size_t row = 0;
  double y = 0.0;
  double median = 0.0;
  double weight_ratio = 1.0;
};
FarResponse far_response(int weight_power, bool y_bounded, std::span<const double> y,
                         const std::optional<Vector>& w);

// A failed factorization of a fit whose far response outweighs the median
// row by more than 2^24, half the digits of a 64-bit float, is that row's
// doing (ordinary data do not fail so): it is refused as
//   "y is too large to fit in its units: y={} at row {} is {} times the
//    median positive response {}; its share of the fit outweighs the other
//    rows beyond what the factorization of the normal equations resolves"
// ("too small" for a tiny inverse Gaussian response). A singular system or a
// search that did not converge, in a fit whose far response outweighs the
// median row more than 2^10 times, is refused the same way, ending in
//   "…; the fit that follows it failed ({the error})".
// Other errors pass.
QueltError explain_singular(const FarResponse& far, int weight_power, QueltError e);

// Whether explain_singular refuses error e as the far response's doing.
bool blames_far_response(const FarResponse& far, const QueltError& e);

// After the fit, under the log link: a row of positive weight and y > 0 whose
// fitted mean fell below the mean floor (1e-300) has its variance, weight
// and deviance replaced by the floor's, so the fit is not the family's.
// Refused, naming the row of the response farthest from the median and the
// row whose mean fell:
//   "y is too large to fit in its units: the fit follows y={} at row {},
//    {} times the median positive response {}, and takes the mean at row {}
//    (y={}) below 1e-300, where the {Name} variance and deviance can no
//    longer be carried in a 64-bit float"
Status check_fitted_means(const char* family, std::span<const double> y, std::span<const double> mu,
                          const std::optional<Vector>& w);

}  // namespace quelt

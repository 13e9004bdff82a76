#include "fit/shape_data_checks.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "fit/driver_common.hpp"

namespace quelt {

namespace {

// Σw below the number of coefficients (weights present; without them the
// rows were counted already).
Status check_weight_sum(const char* family, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p) {
  if (!w) return ok_status();
  const double total = mom.mean_weight * static_cast<double>(mom.n_obs);
  if (total >= static_cast<double>(p)) return ok_status();
  return QueltError::invalid_parameter(
      "prior_weights sum to " + fmt_float(total) + ", fewer observations than the model's " +
      fmt_uint(p) + " coefficients; the " + family +
      " family counts prior weights as frequency weights, so their sum is the number of "
      "observations");
}

// The first response of positive weight when every such row has it.
Status check_spread(const char* family, std::span<const double> y, const std::optional<Vector>& w,
                    const WeightedMoments& mom) {
  if (mom.sd > 0.0 || mom.n_obs == 0) return ok_status();
  double v = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i)
    if (counts(w, i)) {
      v = y[i];
      break;
    }
  return QueltError::invalid_parameter("y is constant (y=" + fmt_float(v) +
                                       " on every row of positive weight); the " + family +
                                       " family estimates its shape parameters from the spread "
                                       "of y");
}

// The checks of a family that needs a spread of y: the weights' sum, then
// the spread.
Status check_sum_and_spread(const char* family, std::span<const double> y,
                            const std::optional<Vector>& w, const WeightedMoments& mom,
                            std::size_t p) {
  QUELT_CHECK_OK(check_weight_sum(family, w, mom, p));
  return check_spread(family, y, w, mom);
}

}  // namespace

Status check_shape_data(const TDist&, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p) {
  return check_sum_and_spread("scat", y, w, mom, p);
}

Status check_shape_data(const Tweedie&, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p) {
  return check_sum_and_spread("Tweedie", y, w, mom, p);
}

Status check_far_response(const Tweedie&, std::span<const double> y,
                          const std::optional<Vector>& w) {
  // The reference is the median of the positive responses, which one huge
  // response cannot drag as it drags the mean.
  const double median = median_positive(y, w);
  if (!(median > 0.0)) return ok_status();
  const double limit = kTweedieLargestRatio * median;
  for (std::size_t i = 0; i < y.size(); ++i)
    if (counts(w, i) && y[i] > limit)
      return y_too_large("y=" + fmt_float(y[i]) + " at row " + fmt_uint(i) +
                         " is more than 2^52 times the median positive response " +
                         fmt_float(median) +
                         "; its weight in the fit would outweigh the other rows beyond what a "
                         "64-bit float resolves");
  return ok_status();
}

Status check_shape_data(const NegBin&, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p) {
  return check_sum_and_spread("NegBin", y, w, mom, p);
}

Status check_far_response(const NegBin&, std::span<const double> y,
                          const std::optional<Vector>& w) {
  for (std::size_t i = 0; i < y.size(); ++i)
    if (counts(w, i) && y[i] > kLargestExactCount)
      return y_too_large("y=" + fmt_float(y[i]) + " at row " + fmt_uint(i) +
                         " is a count above 2^53 = 9007199254740992, past which a 64-bit float "
                         "does not hold every integer");
  return ok_status();
}

Status check_shape_data(const Ocat& f, std::span<const double> y, const std::optional<Vector>& w,
                        const WeightedMoments& mom, std::size_t p) {
  QUELT_CHECK_OK(check_weight_sum("Ocat", w, mom, p));
  // Labels are their rounded values (fit/shape_checks.hpp): one category
  // when every rounded label of positive weight is the first one.
  double first = std::nan("");
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!counts(w, i)) continue;
    const double k = std::round(y[i]);
    if (std::isnan(first))
      first = k;
    else if (k != first)
      return ok_status();
  }
  if (std::isnan(first)) return ok_status();
  return QueltError::invalid_parameter(
      "y has a single observed category: every row of positive weight has y in category " +
      fmt_float(first) + " of 1..=" + fmt_uint(f.n_cats) +
      "; Ocat needs at least two observed categories");
}

}  // namespace quelt

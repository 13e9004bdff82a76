#include "fit/std_data_checks.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "family/deviances.hpp"
#include "fit/driver_common.hpp"

namespace quelt {

namespace {

// 2^48: the largest ratio of one row's share of the normal equations to the
// typical row's. At 2^52, one over the resolution of a 64-bit float, the
// rounding of the large row in XᵀWX is as large as a typical row's whole
// term; the factorization sums p such roundings per entry and failed from
// about 2^50 (one Poisson count 1.25e15 times the median), so the bound
// keeps a factor 16 below the resolution.
constexpr double kLargestWeightRatio = 281474976710656.0;

const std::string kOutweighs =
    "; its share of the fit would outweigh the other rows beyond what a 64-bit float resolves";

}  // namespace

Status check_row_weights(int weight_power, bool y_bounded, std::span<const double> y,
                         const std::optional<Vector>& w, double median_y) {
  if (w) {
    const double med = median_positive(*w, w);
    for (std::size_t i = 0; i < w->size(); ++i)
      if ((*w)[i] > kLargestWeightRatio * med)
        return QueltError::invalid_parameter(
            "prior_weights: weight=" + fmt_float((*w)[i]) + " at row " + fmt_uint(i) +
            " is more than 2^48 times the median positive weight " + fmt_float(med) + kOutweighs);
  }
  if (y_bounded) return ok_status();
  const double med = median_y;
  if (!(med > 0.0)) return ok_status();
  // W ∝ y^a bounds y/median by 2^(48/a) for a ≥ 1; with a ≤ 0 the far row's
  // deviance at the other rows' mean, about y/median times theirs, is what
  // outweighs them, bounded at 2^48 as well.
  const int bits = weight_power > 1 ? 48 / weight_power : 48;
  const double limit = std::exp2(bits);
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!counts(w, i) || !(y[i] > 0.0)) continue;
    if (y[i] > limit * med)
      return y_too_large("y=" + fmt_float(y[i]) + " at row " + fmt_uint(i) + " is more than 2^" +
                         fmt_uint(static_cast<std::uint64_t>(bits)) +
                         " times the median positive response " + fmt_float(med) + kOutweighs);
    // W ∝ 1/y (the inverse Gaussian): a tiny response outweighs the others.
    if (weight_power < 0 && y[i] * kLargestWeightRatio < med)
      return QueltError::invalid_parameter(
          "y is too small to fit in its units: y=" + fmt_float(y[i]) + " at row " + fmt_uint(i) +
          " is less than 2^-48 times the median response " + fmt_float(med) + kOutweighs);
  }
  return ok_status();
}

FarResponse far_response(int weight_power, bool y_bounded, std::span<const double> y,
                         const std::optional<Vector>& w) {
  FarResponse f;
  if (y_bounded) return f;
  const double med = median_positive(y, w);
  if (!(med > 0.0)) return f;
  f.median = med;
  const int a = weight_power > 1 ? weight_power : 1;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!counts(w, i) || !(y[i] > 0.0)) continue;
    const double t = y[i] / med;
    double r = t;
    for (int k = 1; k < a; ++k) r *= t;
    if (weight_power < 0) r = std::fmax(r, med / y[i]);
    if (r > f.weight_ratio) f = FarResponse{i, y[i], med, r};
  }
  return f;
}

bool blames_far_response(const FarResponse& far, const QueltError& e) {
  // 2^10: a row that outweighs the median row a thousandfold draws the
  // penalized fit after it, and a fit that then fails (means driven below
  // their floor elsewhere, a search that does not settle) fails because of
  // it. Ordinary data keep their error.
  constexpr double kFarWeight = 1024.0;
  const bool failed =
      e.kind == QueltError::Kind::SingularSystem || e.kind == QueltError::Kind::NotConverged;
  return failed && far.weight_ratio > kFarWeight;
}

QueltError explain_singular(const FarResponse& far, int weight_power, QueltError e) {
  // 2^24: half the digits of a 64-bit float.
  constexpr double kHalfDigits = 16777216.0;
  if (!blames_far_response(far, e)) return e;
  const bool singular = e.kind == QueltError::Kind::SingularSystem;
  const bool small = weight_power < 0 && far.y < far.median;
  std::string cause = "y=" + fmt_float(far.y) + " at row " + fmt_uint(far.row) + " is " +
                      fmt_float(far.y / far.median) + " times the median" +
                      (small ? " response " : " positive response ") + fmt_float(far.median);
  if (singular && far.weight_ratio > kHalfDigits)
    cause +=
        "; its share of the fit outweighs the other rows beyond what the factorization of the "
        "normal equations resolves";
  else
    cause += "; the fit that follows it failed (" + e.display() + ")";
  if (small) return QueltError::invalid_parameter("y is too small to fit in its units: " + cause);
  return y_too_large(cause);
}

Status check_fitted_means(const char* family, std::span<const double> y, std::span<const double> mu,
                          const std::optional<Vector>& w) {
  std::size_t fell = y.size();
  for (std::size_t i = 0; i < y.size() && fell == y.size(); ++i)
    if (counts(w, i) && y[i] > 0.0 && !(mu[i] >= kMeanFloor)) fell = i;
  if (fell == y.size()) return ok_status();
  const double med = median_positive(y, w);
  std::size_t far = fell;
  for (std::size_t i = 0; i < y.size(); ++i)
    if (counts(w, i) && y[i] > y[far]) far = i;
  return y_too_large("the fit follows y=" + fmt_float(y[far]) + " at row " + fmt_uint(far) + ", " +
                     fmt_float(y[far] / med) + " times the median positive response " +
                     fmt_float(med) + ", and takes the mean at row " + fmt_uint(fell) +
                     " (y=" + fmt_float(y[fell]) + ") below 1e-300, where the " + family +
                     " variance and deviance can no longer be carried in a 64-bit float");
}

}  // namespace quelt

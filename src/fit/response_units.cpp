#include "fit/response_units.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/format.hpp"
#include "inner/weighted_moments.hpp"
#include "score/score_record.hpp"

namespace quelt {

namespace {

constexpr double kSmallestNormal = std::numeric_limits<double>::min();

// a and b of the table (response_units.hpp).
template <class Family>
constexpr int weight_power() {
  return (Family::link == Link::Inverse ? 4 : 2) - Family::variance_power;
}
template <class Family>
constexpr int scale_power() {
  return 2 - Family::variance_power;
}

template <class Family>
std::string variance_name() {
  return std::string("the ") + Family::display_name + " variance " +
         (Family::variance_power == 3 ? "μ³" : "μ²");
}

// The refusal for something that cannot be held at the size ȳ of the data.
QueltError out_of_range(const std::string& what, double ybar, bool overflow) {
  if (ybar > 1.0)
    return response_too_large(
        what + " at the mean response ȳ=" + fmt_float(ybar) +
        (overflow ? " overflows a 64-bit float" : " is below the smallest normal 64-bit float"));
  return response_too_small(
      what + " at the mean response ȳ=" + fmt_float(ybar) +
      (overflow ? " overflows a 64-bit float" : " is below the smallest normal 64-bit float"));
}

}  // namespace

template <class Family>
Result<ResponseUnits> response_units(std::span<const double> y, const std::optional<Vector>& w,
                                     const ModelDesign& design) {
  const WeightedMoments m = weighted_moments(y, w);
  const double ybar = m.mean;
  const double v = Family::variance(ybar);
  if (!std::isfinite(v)) return out_of_range(variance_name<Family>(), ybar, true);
  if (!(v >= kSmallestNormal)) return out_of_range(variance_name<Family>(), ybar, false);
  ResponseUnits u;
  if (Family::link == Link::Inverse || has_free_intercept(design.x, design.penalties))
    u.y_unit = ybar;
  if (m.mean_weight > 0.0) u.weight_unit = m.mean_weight;
  return u;
}

void to_fit_units(const ResponseUnits& u, Vector& y, std::optional<Vector>& w) {
  const double to_y = 1.0 / u.y_unit, to_w = 1.0 / u.weight_unit;
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = w && !((*w)[i] > 0.0) ? 1.0 : y[i] * to_y;
  if (w)
    for (double& v : *w) v *= to_w;
}

template <class Family>
Status to_user_units(const ResponseUnits& u, std::size_t n, std::size_t mp, bool scored,
                     FitOutcome& out, Vector& beta, Matrix& vcov) {
  const double log_y = std::log(u.y_unit), log_w = std::log(u.weight_unit);
  const double ybar = u.y_unit;
  if constexpr (Family::link == Link::Inverse) {
    const double to_user = 1.0 / ybar;
    for (double& b : beta) b *= to_user;
    for (std::size_t i = 0; i < vcov.rows(); ++i) {
      for (std::size_t j = 0; j < vcov.cols(); ++j) {
        const double before = vcov(i, j);
        const double after = (before * to_user) * to_user;
        if (!std::isfinite(after) && std::isfinite(before))
          return out_of_range("the covariance of the coefficients", ybar, true);
        if (i == j && before > 0.0 && !(after >= kSmallestNormal))
          return out_of_range("the covariance of the coefficients", ybar, false);
        vcov(i, j) = after;
      }
    }
  } else if (!beta.empty()) {
    beta[0] += log_y;
  }
  const double a = weight_power<Family>(), b = scale_power<Family>();
  for (double& r : out.rho) r += a * log_y + log_w;
  if (!std::isnan(out.scale)) {
    const double before = out.scale;
    out.scale = (before * u.weight_unit) * std::pow(ybar, b);
    if (!std::isfinite(out.scale)) return out_of_range("the scale", ybar, true);
    if (before > 0.0 && !(out.scale >= kSmallestNormal))
      return out_of_range("the scale", ybar, false);
  }
  if (scored && out.reml_value != kInadmissibleScore)
    out.reml_value += (static_cast<double>(n) + 0.5 * static_cast<double>(mp) * (a - b)) * log_y;
  return ok_status();
}

#define QUELT_RESPONSE_UNITS_INSTANCE(F)                                                 \
  template Result<ResponseUnits> response_units<F>(                                      \
      std::span<const double>, const std::optional<Vector>&, const ModelDesign&);        \
  template Status to_user_units<F>(const ResponseUnits&, std::size_t, std::size_t, bool, \
                                   FitOutcome&, Vector&, Matrix&);
QUELT_RESPONSE_UNITS_INSTANCE(GammaLog)
QUELT_RESPONSE_UNITS_INSTANCE(GammaInverse)
QUELT_RESPONSE_UNITS_INSTANCE(InverseGaussian)
#undef QUELT_RESPONSE_UNITS_INSTANCE

}  // namespace quelt

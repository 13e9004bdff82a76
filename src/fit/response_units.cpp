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

// s of the saturated log-likelihood's −s·Σ ln y_i, and whether the score
// counts −(n/2)·ln φ alone, so that it moves with the units of the weights.
template <class Family>
constexpr double saturated_log_y_power() {
  if constexpr (Family::saturated == Saturated::Gamma) return 1.0;
  if constexpr (Family::saturated == Saturated::InverseGaussian) return 1.5;
  return 0.0;
}
template <class Family>
constexpr bool score_follows_weight_units() {
  return Family::saturated == Saturated::Normal;
}

template <class Family>
std::string variance_name() {
  constexpr int k = Family::variance_power;
  return std::string("the ") + Family::display_name + " variance " +
         (k == 3 ? "μ³" : (k == 2 ? "μ²" : "μ"));
}

std::string at_mean_response(double ybar) { return " at the mean response ȳ=" + fmt_float(ybar); }

}  // namespace

template <class Family>
Result<ResponseUnits> response_units(std::span<const double> y, const std::optional<Vector>& w,
                                     const ModelDesign& design) {
  const WeightedMoments m = weighted_moments(y, w);
  const double ybar = m.mean;
  ResponseUnits u;
  if (m.mean_weight > 0.0) u.weight_unit = m.mean_weight;
  // Counts that are all zero have no size to take out.
  if (Family::y_domain == YDomain::NonNegative && ybar == 0.0) return u;
  const double v = Family::variance(ybar);
  if (!std::isfinite(v))
    return out_of_units_range(variance_name<Family>() + at_mean_response(ybar), ybar > 1.0, true);
  if (!(v >= kSmallestNormal))
    return out_of_units_range(variance_name<Family>() + at_mean_response(ybar), ybar > 1.0, false);
  if (Family::link == Link::Inverse || has_free_intercept(design.x, design.penalties))
    u.y_unit = ybar;
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
    for (double& v : vcov.storage()) v = (v * to_user) * to_user;
  } else if (!beta.empty()) {
    beta[0] += log_y;
  }
  const double a = weight_power<Family>(), b = scale_power<Family>();
  for (double& r : out.rho) r += a * log_y + log_w;
  if (!std::isnan(out.scale)) out.scale = (out.scale * u.weight_unit) * std::pow(ybar, b);
  QUELT_CHECK_OK(
      check_units_range(out.scale, vcov, ybar > 1.0, "the scale", at_mean_response(ybar)));
  if (scored && out.reml_value != kInadmissibleScore) {
    const double nn = static_cast<double>(n), mm = static_cast<double>(mp);
    // Sums of halves of integers: exact, whatever the order.
    const double per_log_y =
        0.5 * (nn - mm) * b + 0.5 * mm * a + saturated_log_y_power<Family>() * nn;
    out.reml_value += per_log_y * log_y;
    if constexpr (score_follows_weight_units<Family>()) out.reml_value += 0.5 * nn * log_w;
  }
  return ok_status();
}

#define QUELT_RESPONSE_UNITS_INSTANCE(F)                                                 \
  template Result<ResponseUnits> response_units<F>(                                      \
      std::span<const double>, const std::optional<Vector>&, const ModelDesign&);        \
  template Status to_user_units<F>(const ResponseUnits&, std::size_t, std::size_t, bool, \
                                   FitOutcome&, Vector&, Matrix&);
QUELT_RESPONSE_UNITS_INSTANCE(QuasiPoisson)
QUELT_RESPONSE_UNITS_INSTANCE(GammaLog)
QUELT_RESPONSE_UNITS_INSTANCE(GammaInverse)
QUELT_RESPONSE_UNITS_INSTANCE(InverseGaussian)
#undef QUELT_RESPONSE_UNITS_INSTANCE

}  // namespace quelt

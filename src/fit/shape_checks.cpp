#include "fit/shape_checks.hpp"

#include <cmath>

#include "core/format.hpp"
#include "fit/driver_common.hpp"

namespace quelt {

Status check_shape_start(const TDist& f) {
  if (!(f.nu > 2.0 && f.nu < INFINITY))
    return QueltError::invalid_parameter(
        "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=" +
        fmt_float(f.nu));
  if (!(f.sigma2 > 0.0 && std::isfinite(f.sigma2)))
    return QueltError::invalid_parameter(
        "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=" +
        fmt_float(f.sigma2));
  return ok_status();
}

Status check_shape_start(const Tweedie& f) {
  if (!(f.p > 1.0 && f.p < 2.0))
    return QueltError::invalid_parameter(
        "Tweedie variance power must be in (1, 2) — strict interior (p=1 → Poisson, p=2 → Gamma — "
        "use those families directly); got init_p=" +
        fmt_float(f.p));
  if (!(f.phi > 0.0 && std::isfinite(f.phi)))
    return QueltError::invalid_parameter(
        "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=" +
        fmt_float(f.phi));
  return ok_status();
}

Status check_shape_start(const Ocat& f) {
  if (f.n_cats < 3)
    return QueltError::invalid_parameter(
        "Ocat requires n_cats ≥ 3 (≤ 2 levels collapses to Bernoulli — use bernoulli_logit "
        "instead); got n_cats=" +
        fmt_uint(f.n_cats));
  return ok_status();
}

Status check_shape_response(const TDist&, std::span<const double> y) {
  return check_finite_response(y);
}

Status check_shape_response(const Tweedie&, std::span<const double> y) {
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (y[i] < 0.0)
      return QueltError::invalid_parameter("Tweedie requires y ≥ 0; got y=" + fmt_float(y[i]) +
                                           " at row " + fmt_uint(i));
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
  }
  return ok_status();
}

Status check_shape_response(const Ocat& f, std::span<const double> y) {
  const double r = static_cast<double>(f.n_cats);
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
    const double k = std::round(y[i]);
    if (k < 1.0 || k > r)
      return QueltError::invalid_parameter(
          "Ocat requires y to be an integer in 1..=" + fmt_uint(f.n_cats) +
          "; got y=" + fmt_float(y[i]) + " at row " + fmt_uint(i));
  }
  if (f.thresholds.size() != f.n_cats - 2)
    return QueltError::invalid_parameter(
        "Ocat init_theta length must equal n_cats - 2 = " + fmt_uint(f.n_cats - 2) +
        " (log-gap thresholds between adjacent categories above the first); got " +
        fmt_uint(f.thresholds.size()));
  return ok_status();
}

Status check_shape_start(const NegBin& f) {
  if (!(f.theta > 0.0 && std::isfinite(f.theta)))
    return QueltError::invalid_parameter(
        "NegBin overdispersion init_theta must be a positive finite scalar (small θ → high "
        "variance, large θ → Poisson limit); got init_theta=" +
        fmt_float(f.theta));
  return ok_status();
}

Status check_shape_response(const NegBin&, std::span<const double> y) {
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (y[i] < 0.0)
      return QueltError::invalid_parameter("NegBin requires y ≥ 0; got y=" + fmt_float(y[i]) +
                                           " at row " + fmt_uint(i));
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
  }
  return ok_status();
}

}  // namespace quelt

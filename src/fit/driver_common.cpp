#include "fit/driver_common.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "fit/edf_vcov.hpp"

namespace quelt {

Status check_data_lengths(std::size_t n_rows, std::size_t y_len, const std::optional<Vector>& w) {
  if (n_rows != y_len)
    return QueltError::invalid_parameter(
        "x and y must have the same number of rows; got x.nrows()=" + fmt_uint(n_rows) +
        ", y.len()=" + fmt_uint(y_len));
  if (w && w->size() != n_rows)
    return QueltError::invalid_parameter(
        "prior_weights length must match x rows; got weights.len()=" + fmt_uint(w->size()) +
        ", x.nrows()=" + fmt_uint(n_rows));
  return ok_status();
}

Status check_has_rows(std::size_t n_rows) {
  if (n_rows == 0)
    return QueltError::invalid_parameter("x has 0 rows; a fit needs at least one row of data");
  return ok_status();
}

QueltError response_too_large(const std::string& cause) {
  return QueltError::invalid_parameter("y is too large to fit in its units: " + cause +
                                       "; divide y by a constant");
}

QueltError scale_estimate_overflow() {
  return out_of_units_range("the scale estimate", true, true);
}

QueltError out_of_units_range(const std::string& what, bool y_large, bool overflow) {
  const std::string cause = what + (overflow ? " overflows a 64-bit float"
                                             : " is below the smallest normal 64-bit float");
  return y_large ? response_too_large(cause) : response_too_small(cause);
}

Status check_units_range(double scale, const Matrix& vcov, std::optional<bool> y_large,
                         const std::string& scale_name, const std::string& where) {
  constexpr double kSmallestNormal = std::numeric_limits<double>::min();
  auto refuse = [&](const std::string& what, bool overflow) {
    return out_of_units_range(what + where, y_large.value_or(overflow), overflow);
  };
  if (std::isinf(scale)) return refuse(scale_name, true);
  if (scale >= 0.0 && scale < kSmallestNormal) return refuse(scale_name, false);
  const std::string covariance = "the covariance of the coefficients";
  for (double v : vcov.storage())
    if (std::isinf(v)) return refuse(covariance, true);
  for (std::size_t i = 0; i < vcov.rows() && i < vcov.cols(); ++i)
    if (vcov(i, i) >= 0.0 && vcov(i, i) < kSmallestNormal) return refuse(covariance, false);
  return ok_status();
}

QueltError response_too_small(const std::string& cause) {
  return QueltError::invalid_parameter("y is too small to fit in its units: " + cause +
                                       "; multiply y by a constant");
}

double median_positive(std::span<const double> v, const std::optional<Vector>& w) {
  std::vector<double> pos;
  for (std::size_t i = 0; i < v.size(); ++i)
    if (counts(w, i) && v[i] > 0.0) pos.push_back(v[i]);
  if (pos.empty()) return 0.0;
  auto mid = pos.begin() + static_cast<std::ptrdiff_t>(pos.size() / 2);
  std::nth_element(pos.begin(), mid, pos.end());
  return *mid;
}

bool has_free_intercept(const Matrix& x, const std::vector<Matrix>& penalties) {
  if (x.cols() == 0) return false;
  for (std::size_t i = 0; i < x.rows(); ++i)
    if (x(i, 0) != 1.0) return false;
  for (const Matrix& s : penalties)
    for (std::size_t k = 0; k < s.rows(); ++k)
      if (s(k, 0) != 0.0 || s(0, k) != 0.0) return false;
  return true;
}

QueltError non_finite_response(double y, std::size_t row) {
  return QueltError::invalid_parameter("y must be finite; got y=" + fmt_float(y) + " at row " +
                                       fmt_uint(row));
}

QueltError response_outside_domain(const char* family, const char* rule, double y,
                                   std::size_t row) {
  return QueltError::invalid_parameter(std::string(family) + rule + "; got y=" + fmt_float(y) +
                                       " at row " + fmt_uint(row));
}

Status check_finite_response(std::span<const double> y) {
  for (std::size_t i = 0; i < y.size(); ++i)
    if (!std::isfinite(y[i])) return non_finite_response(y[i], i);
  return ok_status();
}

Status check_prior_weights(const std::optional<Vector>& w) {
  if (!w) return ok_status();
  for (std::size_t i = 0; i < w->size(); ++i) {
    const double v = (*w)[i];
    if (!(std::isfinite(v) && v >= 0.0))
      return QueltError::invalid_parameter(
          "prior_weights must be finite and non-negative; got weight=" + fmt_float(v) + " at row " +
          fmt_uint(i));
  }
  return ok_status();
}

QueltError y_too_large(const std::string& cause) {
  return QueltError::invalid_parameter("y is too large to fit in its units: " + cause);
}

Status check_informative_rows(const std::optional<Vector>& w, std::size_t n_rows,
                              std::size_t n_coefficients) {
  if (w) {
    bool any_normal = false;
    for (double v : *w) any_normal = any_normal || v >= std::numeric_limits<double>::min();
    if (!any_normal && n_rows > 0)
      return QueltError::invalid_parameter(
          "prior_weights are all zero or below the smallest normal number; at least one row "
          "needs a positive weight");
  }
  const std::size_t n_obs = count_positive_weights(w, n_rows);
  if (n_coefficients > n_obs)
    return QueltError::invalid_parameter(
        "the model has " + fmt_uint(n_coefficients) + " coefficients but only " + fmt_uint(n_obs) +
        " rows of positive prior weight; it needs at least as many rows as coefficients");
  return ok_status();
}

FittedGam assemble_record(FitOutcome outcome, Vector beta, Vector edf_per_term, Matrix vcov,
                          std::uint64_t n, TermPredictor predictor, Link link,
                          const FitStats& stats, Vector shape_params) {
  FittedGam r;
  r.beta = std::move(beta);
  r.lambda = exp_array(outcome.rho);
  r.rho = std::move(outcome.rho);
  r.scale = outcome.scale;
  r.edf_total = outcome.edf_total;
  r.edf_per_term = std::move(edf_per_term);
  r.n = n;
  r.n_iters = outcome.n_iters;
  r.converged = outcome.converged;
  r.reml_value = outcome.reml_value;
  r.predictor = std::move(predictor);
  r.vcov = std::move(vcov);
  r.link = link;
  r.shape_params = std::move(shape_params);
  r.fit_stats = stats;
  return r;
}

}  // namespace quelt

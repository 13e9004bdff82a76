// Steps shared by the fit drivers: the data checks, the fit context built
// from a design, and the assembly of the fitted-model record.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "fit/fitted_record.hpp"
#include "inner/fit_context.hpp"
#include "inner/fit_stats.hpp"

namespace quelt {

// InvalidParameter, in this order:
//   "x and y must have the same number of rows; got x.nrows()={}, y.len()={}"
//   "prior_weights length must match x rows; got weights.len()={}, x.nrows()={}"
Status check_data_lengths(std::size_t n_rows, std::size_t y_len, const std::optional<Vector>& w);

// A model needs data: "x has 0 rows; a fit needs at least one row of data"
// (InvalidParameter) when there are none.
Status check_has_rows(std::size_t n_rows);

// "y must be finite; got y={} at row {}" (InvalidParameter).
QueltError non_finite_response(double y, std::size_t row);

// Every response finite: the first offending row is reported.
Status check_finite_response(std::span<const double> y);

// Every response inside the family's y domain (Family::y_domain) and finite,
// row by row; the first offending row is reported (InvalidParameter):
//   "{Name} requires y in [0, 1]; got y={} at row {}" (UnitInterval),
//   "{Name} requires y ≥ 0; got y={} at row {}" (NonNegative),
//   "{Name} requires y > 0; got y={} at row {}" (Positive),
//   "y must be finite; got y={} at row {}",
// {Name} the family's display name. A Real domain checks finiteness alone.
template <class Family>
Status check_response(std::span<const double> y);

// Every prior weight finite and non-negative:
// "prior_weights must be finite and non-negative; got weight={} at row {}".
Status check_prior_weights(const std::optional<Vector>& w);

// The data must carry information on every coefficient, InvalidParameter
// otherwise, checked after the three checks above:
//   "prior_weights are all zero or below the smallest normal number; at
//    least one row needs a positive weight"
//   "the model has {p} coefficients but only {n} rows of positive prior
//    weight; it needs at least as many rows as coefficients"
// (rows of zero weight are not data).
Status check_informative_rows(const std::optional<Vector>& w, std::size_t n_rows,
                              std::size_t n_coefficients);

// Responses whose fit cannot be held in 64-bit floats in their own units
// (InvalidParameter):
//   "y is too large to fit in its units: {cause}; divide y by a constant"
//   "y is too small to fit in its units: {cause}; multiply y by a constant"
QueltError response_too_large(const std::string& cause);
QueltError response_too_small(const std::string& cause);
// response_too_large("the scale estimate overflows a 64-bit float").
QueltError scale_estimate_overflow();

// A quantity of the record that the units of y carry beyond the normal
// 64-bit floats: response_too_large when y is large (its size above 1),
// response_too_small otherwise, with the cause
//   "{what} overflows a 64-bit float" (overflow) or
//   "{what} is below the smallest normal 64-bit float".
QueltError out_of_units_range(const std::string& what, bool y_large, bool overflow);

// The scale and the covariance of a record in the user's units must be held
// as 64-bit floats: every entry finite, and the scale and each variance on
// the diagonal of vcov, when not negative, at least the smallest normal
// double, so that no estimate is reported as 0 or with the few digits of a
// subnormal. Refused by out_of_units_range naming `scale_name` or "the
// covariance of the coefficients", either followed by `where`; y_large
// absent where both grow with the size of y, so that an overflow refuses y as
// too large and an underflow as too small. A NaN scale (no residual degrees
// of freedom) and its NaN covariance pass.
Status check_units_range(double scale, const Matrix& vcov, std::optional<bool> y_large,
                         const std::string& scale_name, const std::string& where = "");

// A row that is data: it has positive prior weight, or there are no weights.
inline bool counts(const std::optional<Vector>& w, std::size_t i) { return !w || (*w)[i] > 0.0; }

// The median of the positive entries of v over the rows that count (upper
// median); 0 when there are none.
double median_positive(std::span<const double> v, const std::optional<Vector>& w);

// Column 0 of x is all ones and no penalty touches it: a constant added to
// the linear predictor moves the intercept alone, exactly.
bool has_free_intercept(const Matrix& x, const std::vector<Matrix>& penalties);

// "y is too large to fit in its units: {cause}" (InvalidParameter), for a
// cause that says itself what to do.
QueltError y_too_large(const std::string& cause);

// A message formed only for the offending row.
QueltError response_outside_domain(const char* family, const char* rule, double y, std::size_t row);

template <class Family>
Status check_response(std::span<const double> y) {
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double v = y[i];
    if constexpr (Family::y_domain == YDomain::UnitInterval) {
      if (!(v >= 0.0 && v <= 1.0))
        return response_outside_domain(Family::display_name, " requires y in [0, 1]", v, i);
    } else if constexpr (Family::y_domain == YDomain::NonNegative) {
      if (v < 0.0) return response_outside_domain(Family::display_name, " requires y ≥ 0", v, i);
    } else if constexpr (Family::y_domain == YDomain::Positive) {
      if (v <= 0.0) return response_outside_domain(Family::display_name, " requires y > 0", v, i);
    } else {
      static_assert(Family::y_domain == YDomain::Real, "unknown y domain");
    }
    if (!std::isfinite(v)) return non_finite_response(v, i);
  }
  return ok_status();
}

// What the summaries need besides the final fit.
struct FitOutcome {
  Vector rho;
  std::uint64_t n_iters = 0;
  bool converged = false;  // outer optimisation AND final inner fit
  double reml_value = 0.0;
  double scale = 1.0;
  double edf_total = 0.0;
};

// The record: coefficients and covariance from the final fit, λ = exp(ρ),
// edf per term from the penalties, the shape coordinates of the final point
// (empty for the families without shape parameters).
FittedGam assemble_record(FitOutcome outcome, Vector beta, Vector edf_per_term, Matrix vcov,
                          std::uint64_t n, TermPredictor predictor, Link link,
                          const FitStats& stats, Vector shape_params = Vector());

}  // namespace quelt

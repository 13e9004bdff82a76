// Weighted order statistics and the robust location and spread built on
// them. The weights a_i are frequency weights (a null pointer: every a_i =
// 1): a weight of k counts as k repeated rows and a weight of 0 as an absent
// row, so every value here is that of the data with its rows repeated.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/matrix.hpp"

namespace quelt {

// MAD of normal data times this (1/Φ⁻¹(¾)) is its standard deviation.
inline constexpr double kMadToSd = 1.482602218505602;

// The k-th smallest (from 0) of the values v_i repeated a_i times,
// k = round((W − 1)·τ) rounded half away from zero, limited to the last one;
// without weights the (n − 1)·τ order statistic, found in linear time. Rows
// of weight 0 are never chosen. `total` is W = Σ a_i. Needs at least one row
// of positive weight.
double weighted_order_statistic(std::span<const double> v, const double* a, double tau,
                                double total);
inline double weighted_order_statistic(std::span<const double> v, const std::optional<Vector>& a,
                                       double tau, double total) {
  return weighted_order_statistic(v, a ? a->data() : nullptr, tau, total);
}

// The weighted median med_a(v) and the robust standard deviation
// 1.4826·med_a|v_i − med_a(v)|, which heavy tails or a few wild values do
// not inflate as they inflate the standard deviation.
struct RobustLocation {
  double median;
  double sd;
};
RobustLocation robust_location(std::span<const double> v, const double* a, double total);
inline RobustLocation robust_location(std::span<const double> v, const std::optional<Vector>& a,
                                      double total) {
  return robust_location(v, a ? a->data() : nullptr, total);
}

// Σ a_i over the rows of positive weight (n without weights).
double positive_weight_total(std::size_t n, const double* a);

}  // namespace quelt

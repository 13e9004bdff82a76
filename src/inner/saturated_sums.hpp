// Sums over the data that the saturated log-likelihood of the Gamma and
// inverse Gaussian families reads at every score evaluation, formed once per
// fit.
//
// With precision weights the dispersion of row i is φ/w_i, so the saturated
// log-likelihood takes each row at its own dispersion (score/gamma_scale.hpp,
// score/envelope.hpp). Its φ-free parts are the sums of ln y_i and ln w_i;
// its φ-dependent Gamma part is a sum over the rows of a function of w_i/φ,
// which rows of equal weight share, so it runs over the distinct weights.
// Rows of weight 0 are not data and enter no sum or count.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/matrix.hpp"

namespace quelt {

// Most groups of the coarse copy of the weight levels: the mean weight of a
// group of 1/256 of the rows stands for them to about 1e-6 of the scale
// equation for weights spread over a factor of a few.
inline constexpr std::size_t kScaleNodes = 256;

struct SaturatedSums {
  // The distinct positive prior weights in ascending order and the number
  // of rows holding each (as a double, the factor of the sums); one level
  // 1.0 for all n rows without weights.
  Vector level;
  Vector count;
  // At most kScaleNodes groups of consecutive levels holding about equal
  // numbers of rows, each at its mean weight: a coarse copy of the levels on
  // which the Gamma scale equation is solved cheaply before the exact
  // levels refine the root (score/gamma_scale.hpp). Empty when there are no
  // more levels than nodes (the levels themselves are then used).
  Vector node_level;
  Vector node_count;
  double sum_log_y = 0.0;  // Σ ln y_i, y floored at kMeanFloor as the deviances floor it
  double sum_log_w = 0.0;  // Σ ln w_i
  double sum_inv_w = 0.0;  // Σ 1/w_i
};

// The sums over the rows of positive weight of y (n entries) and w (absent:
// all 1).
SaturatedSums saturated_sums(std::span<const double> y, const std::optional<Vector>& w);

}  // namespace quelt

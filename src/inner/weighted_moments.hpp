// Weighted moments of a response over its rows of positive prior weight.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/matrix.hpp"

namespace quelt {

// Sums run with the values divided by their largest magnitude, so that no
// finite input overflows on the way.
struct WeightedMoments {
  std::size_t n_obs = 0;     // rows of positive weight
  double mean_weight = 0.0;  // w̄ = Σ w_i / n_obs (0 when n_obs = 0)
  double mean = 0.0;         // ȳ = Σ w_i y_i / Σ w_i
  // (Σ w_i (y_i − ȳ)² / Σ w_i)^½; exactly 0 when every row of positive
  // weight has the same y (a constant response).
  double sd = 0.0;
};
WeightedMoments weighted_moments(std::span<const double> y, const std::optional<Vector>& w);

// The rows of positive weight among n rows (all n without weights).
std::size_t count_positive_weights(const std::optional<Vector>& w, std::size_t n);

}  // namespace quelt

// Seeded test covariates shared by the design tests.
#pragma once

#include <cstddef>
#include <random>

#include "core/matrix.hpp"

namespace quelt::testing {

// n x d covariates, each entry uniform on [lo, hi), drawn row by row.
inline Matrix uniform_covariates(std::size_t n, std::size_t d, unsigned seed, double lo = 0.0,
                                 double hi = 1.0) {
  std::mt19937_64 g(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  Matrix x(n, d);
  for (auto& v : x.storage()) v = u(g);
  return x;
}

}  // namespace quelt::testing

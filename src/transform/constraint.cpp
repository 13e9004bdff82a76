#include "transform/constraint.hpp"

#include <cmath>

#include "core/error.hpp"

namespace quelt {

Vector column_sums(MatrixView a) {
  Vector s(a.cols, 0.0);
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < a.cols; ++j) s[j] += a(i, j);
  return s;
}

Matrix constraint_null_space(std::span<const double> c) {
  const std::size_t k = c.size();
  check_invariant(k >= 1, "constraint_null_space: empty constraint vector");
  double ss = 0.0;
  for (double v : c) ss += v * v;
  const double norm = std::sqrt(ss);

  Matrix z(k, k - 1);
  if (norm < 2.220446049250313e-16) {
    for (std::size_t j = 0; j + 1 < k; ++j) z(j, j) = 1.0;
    return z;
  }
  // -0.0 >= 0 holds, so a negative zero takes the positive branch.
  const double sigma = c[0] >= 0.0 ? norm : -norm;
  Vector u(c.begin(), c.end());
  u[0] = c[0] + sigma;
  double uu = 0.0;
  for (double v : u) uu += v * v;
  for (std::size_t r = 0; r < k; ++r) {
    const double w = (2.0 / uu) * u[r];
    for (std::size_t j = 0; j + 1 < k; ++j) {
      z(r, j) = (r == j + 1 ? 1.0 : 0.0) - w * u[j + 1];
    }
  }
  return z;
}

}  // namespace quelt

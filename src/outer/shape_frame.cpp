#include "outer/shape_frame.hpp"

#include <cmath>

#include "core/lapack.hpp"
#include "core/numeric.hpp"

namespace quelt {

Matrix positive_curvature(const Matrix& h) {
  const std::size_t n = h.rows();
  if (n == 0) return h;
  Matrix sym = h;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) sym(i, j) = sym(j, i) = 0.5 * (h(i, j) + h(j, i));
  auto eig = sym_eigen(sym);
  if (!eig.ok()) return h;
  const SymEigen& e = eig.value();
  double top = 0.0;
  for (double v : e.values) top = floor_at(top, std::fabs(v));
  const double floor = kShapeCurvatureFloor * ceil_at(top, kShapeCurvatureTopCap);
  Matrix out(n, n);
  for (std::size_t k = 0; k < n; ++k) {
    const double lam = floor_at(std::fabs(e.values[k]), floor);
    for (std::size_t i = 0; i < n; ++i) {
      const double vi = lam * e.vectors(i, k);
      for (std::size_t j = 0; j < n; ++j) out(i, j) += vi * e.vectors(j, k);
    }
  }
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) out(i, j) = out(j, i) = 0.5 * (out(i, j) + out(j, i));
  return out;
}

}  // namespace quelt

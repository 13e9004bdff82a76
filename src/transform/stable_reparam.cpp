#include "transform/stable_reparam.hpp"

#include <string>

#include "core/format.hpp"
#include "core/lapack.hpp"

namespace quelt {

Result<StableReparam> make_stable_reparam(const Matrix& inner_penalty, std::size_t m) {
  if (inner_penalty.rows() != m || inner_penalty.cols() != m) {
    return QueltError::invalid_parameter(
        "StableReparam: inner_penalty must be (" + fmt_uint(m) + ", " + fmt_uint(m) + "); got (" +
        fmt_uint(inner_penalty.rows()) + ", " + fmt_uint(inner_penalty.cols()) + ")");
  }
  auto eig = sym_eigen(inner_penalty);
  if (!eig.ok()) {
    return QueltError::linalg("eigh failed in StableReparam: " + eig.error().message);
  }
  const Matrix& v = eig.value().vectors;
  StableReparam out{Matrix(m, m)};
  // Eigenvectors by decreasing eigenvalue: the solver's columns reversed.
  for (std::size_t r = 0; r < m; ++r)
    for (std::size_t c = 0; c < m; ++c) out.u(r, c) = v(r, m - 1 - c);
  return out;
}

}  // namespace quelt

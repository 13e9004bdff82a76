// Row-wise quadratic forms x_i^T B x_i of a tall matrix, by row blocks.
#pragma once

#include "core/blas.hpp"
#include "core/matrix.hpp"

namespace quelt {

// q_i = x_i^T B x_i for every row x_i of the n x p matrix X (B p x p). The
// product X B is formed block by block (BLAS), never whole.
inline Vector row_quadratic_forms(MatrixView x, const Matrix& b) {
  const std::size_t n = x.rows, p = x.cols;
  Vector q(n, 0.0);
  if (p == 0) return q;
  constexpr std::size_t kBlock = 4096;
  for (std::size_t r0 = 0; r0 < n; r0 += kBlock) {
    const std::size_t nr = n - r0 < kBlock ? n - r0 : kBlock;
    const MatrixView xb = x.row_block(r0, nr);
    const Matrix m = gemm(xb, b.view());
    for (std::size_t i = 0; i < nr; ++i) {
      const double* mi = m.row_ptr(i);
      double acc = 0.0;
      for (std::size_t c = 0; c < p; ++c) acc += mi[c] * xb(i, c);
      q[r0 + i] = acc;
    }
  }
  return q;
}

}  // namespace quelt

// Thin-plate terms ("tp"): a radial basis over d >= 2 covariate columns with k
// centres taken from the data rows, expressed in the eigenbasis of the kernel
// among the centres, with a diagonal penalty of the normalised absolute
// eigenvalues. The term has no polynomial part and no sum-to-zero constraint.
#pragma once

#include <cstddef>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/predictor.hpp"

namespace quelt {

// max(0, max_i |v_i|), NaN entries ignored.
double max_abs(std::span<const double> v);

// The radial kernel η_d(r) of the Euclidean distance r in dimension d:
// 0 for r < 1e-12; r²·ln r / (8π) for d = 2; -r/8 for d = 3; ln r for d >= 4;
// r³/12 for d = 1.
double tps_kernel(double r, std::size_t d);

// E (n x n_c): E(i, l) = η_d(‖x(i, cols) - centres(l, 0..d)‖), d = cols.size().
// Columns must lie within x and the centres must have at least d columns.
Matrix tps_radial_matrix(MatrixView x, std::span<const std::size_t> cols, const Matrix& centres);

struct TpsTerm {
  Matrix basis;    // n x k
  Matrix penalty;  // k x k diagonal, entries in [1e-4, 1]
  TpsPredictor predictor;
};

// The "tp" term of columns `cols` with k centres.
// Errors (InvalidParameter), checked in this order: fewer than 2 columns,
// repeated columns, a column beyond x, k <= d + 1, k > n, a non-finite value
// in a term column, kernel values beyond 1e100 (coordinates too far apart);
// Linalg "eigh failed in tps build: {}".
Result<TpsTerm> build_tps_term(MatrixView x, std::span<const std::size_t> cols, std::size_t k);

// [1 | E(x)·transform] on new x.
Result<Matrix> evaluate_tps_predictor(const TpsPredictor& p, MatrixView x);

}  // namespace quelt

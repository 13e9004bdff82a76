// Thin-plate terms ("tp"): a radial basis over d >= 2 covariate columns with k
// centres taken from the data rows, expressed in the eigenbasis of the kernel
// among the centres, with a diagonal penalty of the normalised absolute
// eigenvalues. The term has no polynomial part and no sum-to-zero constraint.
//
// Distances are measured in a length L taken from the centres, the kernel is
// η_d(r/L). The kernel itself is not scale-free, η(s·r) = s²·η(r) +
// s²·ln s·r² for d = 2, and at coordinates in other units the r² part would
// swamp the eigen-selection and the penalty weights; in units of L the basis
// is the same for coordinates in any units, up to rounding.
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

// The length L of a term with these centres (n_c x d): the largest Euclidean
// distance between two centres, or 1 when that is 0 or not finite.
double tps_length(const Matrix& centres);

// E (n x n_c): E(i, l) = η_d(r/L) with r/L = ‖(x(i, cols) - centres(l, 0..d))·(1/L)‖,
// d = cols.size(), L = length (1 divides exactly, so L = 1 is the plain
// distance). Columns must lie within x and the centres must have at least d
// columns.
Matrix tps_radial_matrix(MatrixView x, std::span<const std::size_t> cols, const Matrix& centres,
                         double length);

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

// [1 | E(x)·transform] on new x, distances in the stored length.
Result<Matrix> evaluate_tps_predictor(const TpsPredictor& p, MatrixView x);

}  // namespace quelt

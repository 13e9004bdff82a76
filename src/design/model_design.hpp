// The model design handed to the fitting code, and the steps shared by every
// design builder: the intercept column, the rank and log pseudo-determinant of
// a penalty, the null-space dimension of the penalties and the input checks
// on covariate columns.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/predictor.hpp"

namespace quelt {

// Model matrix [1 | C_1 | ... | C_T] with one p x p penalty per smoothing
// parameter. Every penalty is zero outside its term's block and in row and
// column 0 (the intercept is never penalized).
struct ModelDesign {
  TermPredictor predictor;                 // rebuilds x for new covariates
  std::vector<Matrix> penalties;           // m matrices, p x p, at unit smoothing parameter
  std::vector<std::size_t> penalty_ranks;  // rank of each penalty (penalty_log_pdet)
  std::vector<double> penalty_log_pdets;   // log pseudo-determinant of each penalty
  Matrix x;                                // n x p, column 0 all 1.0
  std::size_t null_space_dim = 0;          // p - rank(sum of all penalties)
  // Sets of penalty indices acting on one coefficient block. Every penalty
  // belongs to exactly one group; a single smooth has the one group {0}, a
  // tensor term groups its several penalties.
  std::vector<std::vector<std::size_t>> penalty_groups;
};

// [1 | B]: an n x (q+1) matrix whose column 0 is 1.0 and whose further
// columns copy B.
Matrix prepend_intercept_column(MatrixView b);

// (rank, log pseudo-determinant) of a symmetric matrix, reading only its
// upper triangle. With m = max(1, largest eigenvalue) and tol = 1e-10·m, the
// rank counts the eigenvalues above tol and the log pseudo-determinant sums
// their logarithms in ascending order. A failed eigendecomposition (only
// possible for non-finite entries) is an invariant failure.
std::pair<std::size_t, double> penalty_log_pdet(const Matrix& s);

// p minus the numerical rank of the sum of the penalties (counted as in
// penalty_log_pdet), floored at 0. `ranks` are the penalties' own ranks: with
// a single penalty the rank of the sum is that rank and no eigendecomposition
// runs.
std::size_t null_space_dimension(const std::vector<Matrix>& penalties,
                                 const std::vector<std::size_t>& ranks, std::size_t p);

// A p x p zero matrix holding `block` in rows and columns [first, first + q).
Matrix pad_penalty(const Matrix& block, std::size_t first, std::size_t p);

// Input checks shared by the builders (InvalidParameter):
// "x must have at least one column" for an x without columns.
Status check_has_columns(MatrixView x);
// "x has a non-finite value at row {}, column {}" for the first NaN or
// infinite value of column `col` (which must be < x.cols).
Status check_finite_column(MatrixView x, std::size_t col);

// The k knots of a cubic regression basis (a smooth or a tensor margin) on
// column `col` of x, as place_cr_knots places them. When the column's values
// are too few to give k strictly increasing knots: InvalidParameter
// "x column {} is constant (1 distinct value): a cubic regression basis with
// k = {} needs at least 2 distinct values" or "x column {} has {} distinct
// values too close together to place k = {} strictly increasing knots".
Result<Vector> place_column_knots(MatrixView x, std::size_t col, std::size_t k);

// Throws OutOfMemory when a fit of a design with n rows, p columns and m
// penalties cannot fit in the memory left to the process: its model matrix
// (n x p), its m penalties at full size (p x p each) and the two further p x p
// matrices every fit forms (the penalized Hessian and its factor) together
// exceed available_memory_bytes(). A lower bound: a model refused here could
// not have been fitted. p is a double so that any width compares; sizes
// beyond a 64-bit address space are refused the same way, except a width of
// 2^64 or more, which the builders report as an overflow.
void check_design_fits_in_memory(std::size_t n, double p, std::size_t m);

// The n x 1 view of column `col` of x (an invariant failure when col is out
// of range).
MatrixView column_view(MatrixView x, std::size_t col);

// The design of one smooth: x = [1 | basis], the one penalty (already padded
// to p x p, p = basis.cols + 1), its rank and log pseudo-determinant,
// null_space_dim = p - rank and the one penalty group {0}.
ModelDesign assemble_single_smooth_design(TermPredictor predictor, const Matrix& basis,
                                          Matrix padded_penalty);
// The same from the finished model matrix [1 | basis] (p = x.cols).
ModelDesign assemble_single_smooth_design_from_x(TermPredictor predictor, Matrix x,
                                                 Matrix padded_penalty);

// Single-smooth designs of column 0 of x (further columns are ignored).
// "cr": cubic regression smooth with k knots.
Result<ModelDesign> build_cr_design(MatrixView x, std::size_t k);
// "re": random effect with one level per distinct value.
Result<ModelDesign> build_re_design(MatrixView x);
// "cr_stable": cubic regression smooth in the eigenbasis of its penalty.
Result<ModelDesign> build_cr_stable_design(MatrixView x, std::size_t k);

}  // namespace quelt

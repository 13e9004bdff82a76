// Thin wrappers over the few LAPACK routines the core uses: Cholesky
// (dpotrf), the symmetric eigendecomposition (dsyev) and the LU
// factorisation and solve (dgetrf/dgetrs).
//
// Every matrix here is row-major on both sides of the call; the translation
// to LAPACK's column-major storage happens once, inside these functions.
// Failures are QueltError::linalg values whose message is a plain-words
// description of what the routine reported; callers put it into their own
// message.
#pragma once

#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

// Eigenvalues in ascending order; eigenvector i is column i of `vectors`,
// that is vectors(r, i) is its component r.
struct SymEigen {
  Vector values;
  Matrix vectors;
};

// Eigendecomposition of a symmetric matrix. Only the upper triangle
// (row <= col) is read; the matrix is not symmetrised. Non-square input, a
// non-finite entry in the upper triangle or a failure to converge is an
// error.
Result<SymEigen> sym_eigen(const Matrix& a);

// Cholesky factor of a symmetric positive definite matrix: the lower
// triangular L with A = L·Lᵀ, strict upper triangle exactly 0. Only the lower
// triangle and the diagonal of `a` are read. Non-square input or a leading
// minor that is not positive definite is an error naming that minor's order.
Result<Matrix> potrf_lower(Matrix a);

// LU factorisation with partial pivoting, P·A = L·U: `lu` holds L (unit
// diagonal, not stored) below the diagonal and U on and above it, row-major;
// `ipiv` holds the 1-based row interchanges (row i was swapped with row
// ipiv[i]). A non-square matrix or an exactly zero pivot is an error.
struct LuFactor {
  Matrix lu;
  std::vector<int> ipiv;
};
Result<LuFactor> lu_factor(Matrix a);

// Solves A·X = B for the factored A; B is n x k row-major.
Result<Matrix> lu_solve(const LuFactor& f, const Matrix& b);
Result<Vector> lu_solve(const LuFactor& f, const Vector& b);

}  // namespace quelt

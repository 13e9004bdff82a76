#include "core/lapack.hpp"

#include <climits>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "core/format.hpp"

// LAPACK's Fortran entry points (32-bit integers; the trailing size_t
// arguments are the hidden lengths of the character arguments).
extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info,
             std::size_t uplo_len);
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
            double* work, const int* lwork, int* info, std::size_t jobz_len, std::size_t uplo_len);
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
             const int* ipiv, double* b, const int* ldb, int* info, std::size_t trans_len);
}

namespace quelt {
namespace {

std::string shape_text(std::size_t r, std::size_t c) {
  return "(" + fmt_uint(r) + ", " + fmt_uint(c) + ")";
}

// The order of a square matrix for LAPACK, or an error when it is not square
// or too large for 32-bit LAPACK integers.
Result<int> lapack_order(const Matrix& a, const char* routine) {
  if (a.rows() != a.cols())
    return QueltError::linalg(std::string(routine) + ": matrix must be square, got shape " +
                              shape_text(a.rows(), a.cols()));
  if (a.rows() > static_cast<std::size_t>(INT_MAX))
    return QueltError::linalg(std::string(routine) + ": matrix order " + fmt_uint(a.rows()) +
                              " exceeds the LAPACK integer range");
  return static_cast<int>(a.rows());
}

// Transpose of a square buffer in place.
void transpose_square(Matrix& m) {
  const std::size_t n = m.rows();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) std::swap(m(i, j), m(j, i));
}

// Row-major n x k matrix to column-major storage of the same matrix, and back.
std::vector<double> to_col_major(const double* src, std::size_t n, std::size_t k) {
  std::vector<double> out(n * k);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < k; ++j) out[j * n + i] = src[i * k + j];
  return out;
}

}  // namespace

Result<SymEigen> sym_eigen(const Matrix& a) {
  QUELT_TRY(const int n, lapack_order(a, "dsyev"));
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = i; j < a.cols(); ++j)
      if (!std::isfinite(a(i, j)))
        return QueltError::linalg("dsyev: matrix entry (" + fmt_uint(i) + ", " + fmt_uint(j) +
                                  ") is not finite (" + fmt_float(a(i, j)) + ")");
  SymEigen out;
  out.values.assign(a.rows(), 0.0);
  if (n == 0) {
    out.vectors = Matrix(0, 0);
    return out;
  }
  // Read as column-major, the row-major buffer is Aᵀ; its lower triangle is
  // the row-major upper triangle of A.
  Matrix buf = a;
  const char jobz = 'V', uplo = 'L';
  int info = 0, lwork = -1;
  double query = 0.0;
  dsyev_(&jobz, &uplo, &n, buf.data(), &n, out.values.data(), &query, &lwork, &info, 1, 1);
  if (info != 0)
    return QueltError::linalg("dsyev workspace query failed (info = " + std::to_string(info) + ")");
  // The suggested workspace, at least the documented minimum 3n - 1 (in
  // double arithmetic: 3n overflows int for orders beyond INT_MAX / 3).
  const double need = std::fmax(query, 3.0 * static_cast<double>(n) - 1.0);
  if (!(need <= static_cast<double>(INT_MAX)))
    return QueltError::linalg("dsyev: workspace of " + fmt_float(need) +
                              " doubles exceeds the LAPACK integer range");
  lwork = need < 1.0 ? 1 : static_cast<int>(need);
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dsyev_(&jobz, &uplo, &n, buf.data(), &n, out.values.data(), work.data(), &lwork, &info, 1, 1);
  if (info < 0)
    return QueltError::linalg("dsyev: argument " + std::to_string(-info) + " had an illegal value");
  if (info > 0)
    return QueltError::linalg("dsyev did not converge: " + std::to_string(info) +
                              " off-diagonal elements of the tridiagonal form did not reach zero "
                              "(info = " +
                              std::to_string(info) + ")");
  // Column-major eigenvectors: eigenvector i occupies row i of the row-major
  // buffer; transpose so that it becomes column i.
  transpose_square(buf);
  out.vectors = std::move(buf);
  return out;
}

Result<Matrix> potrf_lower(Matrix a) {
  QUELT_TRY(const int n, lapack_order(a, "dpotrf"));
  if (n == 0) return a;
  // The row-major lower triangle is the column-major upper triangle of the
  // same memory, so LAPACK factors it as A = UᵀU; read back row-major, U is
  // the lower factor L.
  const char uplo = 'U';
  int info = 0;
  dpotrf_(&uplo, &n, a.data(), &n, &info, 1);
  if (info < 0)
    return QueltError::linalg("dpotrf: argument " + std::to_string(-info) +
                              " had an illegal value");
  if (info > 0)
    return QueltError::linalg("the leading minor of order " + std::to_string(info) +
                              " is not positive definite (dpotrf info = " + std::to_string(info) +
                              ")");
  const std::size_t nn = a.rows();
  // OpenBLAS's dpotrf tests a pivot only for being <= 0, so a NaN entry gives
  // a NaN factor reported as success; LAPACK's contract makes a NaN pivot a
  // failure at its leading minor, and so do we.
  for (std::size_t i = 0; i < nn; ++i)
    if (!(a(i, i) > 0.0))
      return QueltError::linalg("the leading minor of order " + fmt_uint(i + 1) +
                                " is not positive definite (pivot " + fmt_float(a(i, i)) + ")");
  for (std::size_t i = 0; i < nn; ++i)
    for (std::size_t j = i + 1; j < nn; ++j) a(i, j) = 0.0;
  return a;
}

Result<LuFactor> lu_factor(Matrix a) {
  QUELT_TRY(const int n, lapack_order(a, "dgetrf"));
  LuFactor f;
  f.ipiv.assign(a.rows(), 0);
  if (n == 0) {
    f.lu = std::move(a);
    return f;
  }
  transpose_square(a);  // column-major storage of A
  int info = 0;
  dgetrf_(&n, &n, a.data(), &n, f.ipiv.data(), &info);
  if (info < 0)
    return QueltError::linalg("dgetrf: argument " + std::to_string(-info) +
                              " had an illegal value");
  if (info > 0)
    return QueltError::linalg(
        "the matrix is singular: pivot " + std::to_string(info) +
        " of the LU factorisation is exactly zero (dgetrf info = " + std::to_string(info) + ")");
  transpose_square(a);  // back to row-major
  f.lu = std::move(a);
  return f;
}

Result<Matrix> lu_solve(const LuFactor& f, const Matrix& b) {
  const std::size_t n = f.lu.rows();
  check_invariant(f.lu.cols() == n && f.ipiv.size() == n, "lu_solve: malformed LU factor");
  for (int piv : f.ipiv)
    check_invariant(piv >= 1 && static_cast<std::size_t>(piv) <= n,
                    "lu_solve: pivot index out of range");
  if (b.rows() != n)
    return QueltError::linalg("dgetrs: right-hand side has " + fmt_uint(b.rows()) +
                              " rows, the factored matrix has order " + fmt_uint(n));
  const std::size_t k = b.cols();
  if (n == 0 || k == 0) return b;
  if (k > static_cast<std::size_t>(INT_MAX))
    return QueltError::linalg("dgetrs: " + fmt_uint(k) +
                              " right-hand sides exceed the LAPACK integer range");
  // Column-major copies of the factor and of B.
  std::vector<double> lu = to_col_major(f.lu.data(), n, n);
  std::vector<double> x = to_col_major(b.data(), n, k);
  const int ni = static_cast<int>(n), ki = static_cast<int>(k);
  const char trans = 'N';
  int info = 0;
  dgetrs_(&trans, &ni, &ki, lu.data(), &ni, f.ipiv.data(), x.data(), &ni, &info, 1);
  if (info != 0)
    return QueltError::linalg("dgetrs: argument " + std::to_string(-info) +
                              " had an illegal value");
  Matrix out(n, k);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < k; ++j) out(i, j) = x[j * n + i];
  return out;
}

Result<Vector> lu_solve(const LuFactor& f, const Vector& b) {
  Matrix bm(b.size(), 1, b);
  QUELT_TRY(Matrix x, lu_solve(f, bm));
  return std::move(x.storage());
}

}  // namespace quelt

#include "core/linalg.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "core/format.hpp"
#include "core/lapack.hpp"

namespace quelt {

Matrix s_lambda(const std::vector<Matrix>& penalties, std::span<const double> rho) {
  check_invariant(!penalties.empty(), "s_lambda: empty penalty list");
  check_invariant(rho.size() >= penalties.size(), "s_lambda: rho shorter than the penalty list");
  const std::size_t p = penalties.front().rows();
  Matrix s(p, p);
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const Matrix& sj = penalties[j];
    check_invariant(sj.rows() >= p && sj.cols() >= p, "s_lambda: penalty smaller than p x p");
    const double lambda = std::exp(rho[j]);
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t k = 0; k < p; ++k) s(i, k) += lambda * sj(i, k);
  }
  return s;
}

Result<Matrix> cholesky(Matrix a) {
  auto f = potrf_lower(std::move(a));
  if (!f.ok()) return QueltError::singular_system("Cholesky failed: " + f.error().message);
  return f;
}

Vector chol_forward_solve(const Matrix& L, std::span<const double> b) {
  const std::size_t n = L.rows();
  check_invariant(L.cols() == n, "chol_forward_solve: factor must be square");
  check_invariant(b.size() >= n, "chol_forward_solve: right-hand side shorter than the factor");
  Vector y(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double* li = L.row_ptr(i);
    double s = 0.0;
    for (std::size_t k = 0; k < i; ++k) s += li[k] * y[k];
    y[i] = (b[i] - s) / li[i];
  }
  return y;
}

Vector chol_back_solve(const Matrix& L, std::span<const double> y) {
  const std::size_t n = L.rows();
  check_invariant(L.cols() == n, "chol_back_solve: factor must be square");
  check_invariant(y.size() >= n, "chol_back_solve: right-hand side shorter than the factor");
  Vector x(n);
  for (std::size_t ii = n; ii-- > 0;) {
    // Column ii of L below the diagonal is row ii of Lᵀ.
    double s = 0.0;
    for (std::size_t k = ii + 1; k < n; ++k) s += L(k, ii) * x[k];
    x[ii] = (y[ii] - s) / L(ii, ii);
  }
  return x;
}

void add_relative_ridge(Matrix& H) {
  for (std::size_t i = 0; i < H.rows(); ++i) H(i, i) += kRelativeRidge * std::fabs(H(i, i));
}

Status check_relative_pivots(const Matrix& H, const Matrix& L, double min_ratio) {
  for (std::size_t i = 0; i < L.rows(); ++i) {
    const double ratio = (L(i, i) * L(i, i)) / H(i, i);
    if (!(ratio > min_ratio))
      return QueltError::singular_system("Cholesky failed: the leading minor of order " +
                                         fmt_uint(i + 1) +
                                         " is positive definite only to rounding (its pivot is " +
                                         fmt_float(ratio) + " of its diagonal entry)");
  }
  return ok_status();
}

Result<std::pair<Matrix, Vector>> chol_solve_penalized(const Matrix& H, std::span<const double> r) {
  QUELT_TRY(Matrix L, cholesky(H));
  QUELT_CHECK_OK(check_relative_pivots(H, L));
  // The ridge keeps the solve stable when H is barely positive definite.
  Matrix ridged = H;
  add_relative_ridge(ridged);
  QUELT_TRY(Matrix Ld, cholesky(std::move(ridged)));
  Vector beta = chol_back_solve(Ld, chol_forward_solve(Ld, r));
  return std::pair<Matrix, Vector>(std::move(L), std::move(beta));
}

Matrix inverse_from_cholesky(MatrixView L) {
  check_invariant(L.contiguous(), "Cholesky factor must be C-contiguous");
  const std::size_t n = L.rows;
  check_invariant(L.cols == n, "Cholesky factor must be square");
  // W = (L⁻¹)ᵀ, upper triangular; row i of W is column i of L⁻¹.
  Matrix W(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    W(i, i) = 1.0 / L(i, i);
    for (std::size_t j = i + 1; j < n; ++j) {
      double s = 0.0;
      for (std::size_t k = i; k < j; ++k) s += L(j, k) * W(i, k);
      W(i, j) = -s / L(j, j);
    }
  }
  // R = W·Wᵀ = A⁻¹; each value is computed once and written to both triangles.
  Matrix R(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) {
      double s = 0.0;
      for (std::size_t k = j; k < n; ++k) s += W(i, k) * W(j, k);
      R(i, j) = s;
      R(j, i) = s;
    }
  }
  return R;
}

double trace_inv_times(MatrixView L, MatrixView B) {
  const Matrix R = inverse_from_cholesky(L);
  const std::size_t n = L.rows;
  check_invariant(B.rows >= n && B.cols >= n, "trace_inv_times: B smaller than n x n");
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) s += R(i, j) * B(i, j);
  return s;
}

double log_det_from_cholesky(const Matrix& L) {
  const std::size_t n = L.rows();
  check_invariant(L.cols() >= n, "log_det_from_cholesky: factor must be square");
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += std::log(L(i, i));
  return 2.0 * s;
}

Matrix row_scale(MatrixView X, std::span<const double> w) {
  const std::size_t n = X.rows, p = X.cols;
  check_invariant(w.size() >= n, "row_scale: fewer weights than rows");
  Matrix T(p, n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < p; ++j) T(j, i) = w[i] * X(i, j);
  return T;
}

double frobenius_dot(const Matrix& A, const Matrix& B) {
  const std::size_t p = A.rows();
  check_invariant(A.cols() >= p && B.rows() >= p && B.cols() >= p,
                  "frobenius_dot: matrices smaller than p x p");
  double s = 0.0;
  for (std::size_t i = 0; i < p; ++i) {
    const double* a = A.row_ptr(i);
    const double* b = B.row_ptr(i);
    for (std::size_t j = 0; j < p; ++j) s += a[j] * b[j];
  }
  return s;
}

double trace_of_product(const Matrix& A, const Matrix& B) {
  const std::size_t p = A.rows();
  check_invariant(A.cols() >= p && B.rows() >= p && B.cols() >= p,
                  "trace_of_product: matrices smaller than p x p");
  double s = 0.0;
  for (std::size_t r = 0; r < p; ++r) {
    const double* a = A.row_ptr(r);
    for (std::size_t c = 0; c < p; ++c) s += a[c] * B(c, r);
  }
  return s;
}

Vector small_matvec(const Matrix& A, std::span<const double> v) {
  const std::size_t rows = A.rows(), cols = A.cols();
  check_invariant(v.size() >= cols, "small_matvec: vector shorter than the matrix is wide");
  Vector out(rows);
  for (std::size_t a = 0; a < rows; ++a) {
    const double* row = A.row_ptr(a);
    double acc = 0.0;
    for (std::size_t c = 0; c < cols; ++c) acc += row[c] * v[c];
    out[a] = acc;
  }
  return out;
}

double dot(std::span<const double> a, std::span<const double> b) {
  check_invariant(b.size() >= a.size(), "dot: second vector shorter than the first");
  double acc = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) acc += a[i] * b[i];
  return acc;
}

double quadratic_form(const Matrix& S, std::span<const double> beta) {
  const std::size_t p = beta.size();
  check_invariant(S.rows() >= p && S.cols() >= p, "quadratic_form: matrix smaller than p x p");
  double acc = 0.0;
  for (std::size_t a = 0; a < p; ++a) {
    const double* row = S.row_ptr(a);
    double u = 0.0;
    for (std::size_t b = 0; b < p; ++b) u += row[b] * beta[b];
    acc += beta[a] * u;
  }
  return acc;
}

void symmetrize_average(Matrix& a) {
  check_invariant(a.rows() == a.cols(), "symmetrize_average: matrix is not square");
  const std::size_t p = a.rows();
  for (std::size_t r = 0; r < p; ++r)
    for (std::size_t c = r + 1; c < p; ++c) {
      const double v = 0.5 * (a(r, c) + a(c, r));
      a(r, c) = v;
      a(c, r) = v;
    }
}

double normal_quantile(double p) {
  if (!(p > 0.0 && p < 1.0))
    invariant_failed("normal_quantile: p must be in (0,1), got " + fmt_float(p));
  // Rational approximations for the central region and the tails.
  static constexpr double a[6] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                  -2.759285104469687e+02, 1.383577518672690e+02,
                                  -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[5] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                  -1.556989798598866e+02, 6.680131188771972e+01,
                                  -1.328068155288572e+01};
  static constexpr double c[6] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                  -2.400758277161838e+00, -2.549732539343734e+00,
                                  4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[4] = {7.784695709041462e-03, 3.224671290700398e-01,
                                  2.445134137142996e+00, 3.754408661907416e+00};
  constexpr double kLow = 0.02425, kHigh = 0.97575;
  auto tail = [&](double q) {
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  };
  if (p < kLow) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p <= kHigh) {
    const double q = p - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
  }
  return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
}

}  // namespace quelt

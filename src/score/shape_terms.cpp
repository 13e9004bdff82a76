#include "score/shape_terms.hpp"

#include <cmath>

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/linalg.hpp"
#include "inner/full_newton.hpp"
#include "score/row_forms.hpp"

namespace quelt {

Vector leverages(MatrixView x, const Matrix& h_inv) { return row_quadratic_forms(x, h_inv); }

Vector weight_derivative_rho_terms(MatrixView x, const Matrix& h_inv, std::span<const double> beta,
                                   const std::vector<Matrix>& penalties,
                                   std::span<const double> lambda, std::span<const double> a,
                                   std::span<const double> lev) {
  const std::size_t n = x.rows, p = x.cols, m = lambda.size();
  check_invariant(penalties.size() >= m && beta.size() == p && a.size() >= n && lev.size() >= n,
                  "weight_derivative_rho_terms: inconsistent sizes");
  // Column k of D holds dβ_k = −λ_k H⁻¹S_kβ; then dη = X·D by row blocks.
  Matrix d(p, m);
  for (std::size_t k = 0; k < m; ++k) {
    const Vector v = small_matvec(h_inv, small_matvec(penalties[k], beta));
    for (std::size_t r = 0; r < p; ++r) d(r, k) = -lambda[k] * v[r];
  }
  Vector u(m, 0.0);
  if (m == 0 || n == 0) return u;
  Matrix eta_k;
  for (std::size_t r0 = 0; r0 < n; r0 += kRowFormBlock) {
    const std::size_t nr = n - r0 < kRowFormBlock ? n - r0 : kRowFormBlock;
    gemm_into(x.row_block(r0, nr), d.view(), eta_k);
    for (std::size_t i = 0; i < nr; ++i) {
      const double f = 0.5 * a[r0 + i] * lev[r0 + i];
      const double* e = eta_k.row_ptr(i);
      for (std::size_t k = 0; k < m; ++k) u[k] += f * e[k];
    }
  }
  return u;
}

std::size_t ridge_argmax(std::span<const double> xtwx_diag,
                         const std::vector<Vector>& penalty_diagonals,
                         std::span<const double> lambda) {
  std::size_t jstar = 0;
  double best = -1.0;
  for (std::size_t j = 0; j < xtwx_diag.size(); ++j) {
    double d = xtwx_diag[j];
    for (std::size_t k = 0; k < lambda.size(); ++k) d += lambda[k] * penalty_diagonals[k][j];
    if (std::fabs(d) > best) {
      best = std::fabs(d);
      jstar = j;
    }
  }
  return jstar;
}

Vector ridge_rho_terms(std::span<const double> xtwx_diag, const Matrix& h_inv,
                       const std::vector<Vector>& penalty_diagonals,
                       std::span<const double> lambda) {
  const std::size_t p = h_inv.rows(), m = lambda.size();
  check_invariant(xtwx_diag.size() >= p && penalty_diagonals.size() >= m,
                  "ridge_rho_terms: inconsistent sizes");
  for (std::size_t k = 0; k < m; ++k)
    check_invariant(penalty_diagonals[k].size() >= p, "ridge_rho_terms: inconsistent sizes");
  Vector g(m, 0.0);
  if (p == 0) return g;
  const std::size_t jstar = ridge_argmax(xtwx_diag.first(p), penalty_diagonals, lambda);
  double t0 = 0.0;
  for (std::size_t j = 0; j < p; ++j) t0 += h_inv(j, j);
  const double eps = full_newton_ridge(m);
  for (std::size_t k = 0; k < m; ++k)
    g[k] = t0 * (eps * lambda[k] * penalty_diagonals[k][jstar] * 0.5);
  return g;
}

double iteration_ridge(std::span<const double> xtwx_diag, std::size_t m) {
  double s = 1.0;
  for (double d : xtwx_diag) s = std::fmax(s, std::fabs(d));
  return full_newton_ridge(m) * s;
}

Vector ridge_envelope_rho_terms(std::span<const double> xtwx_diag, const Matrix& h_inv,
                                std::span<const double> beta, const std::vector<Matrix>& penalties,
                                std::span<const double> lambda) {
  const std::size_t p = h_inv.rows(), m = lambda.size();
  check_invariant(xtwx_diag.size() >= p && beta.size() == p && penalties.size() >= m,
                  "ridge_envelope_rho_terms: inconsistent sizes");
  const double ridge = iteration_ridge(xtwx_diag.first(p), m);
  const Vector hb = small_matvec(h_inv, beta);
  Vector g(m, 0.0);
  for (std::size_t k = 0; k < m; ++k)
    g[k] = ridge * lambda[k] * dot(hb, small_matvec(penalties[k], beta));
  return g;
}

}  // namespace quelt

// Row-wise quadratic forms of a tall matrix, computed by row blocks so that
// no n x p product is ever held whole.
#pragma once

#include <cmath>
#include <vector>

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/lapack.hpp"
#include "core/matrix.hpp"
#include "core/numeric.hpp"

namespace quelt {

inline constexpr std::size_t kRowFormBlock = 16384;

// q_i = x_iᵀB x_i for every row x_i of the n x p matrix X (B p x p).
inline Vector row_quadratic_forms(MatrixView x, const Matrix& b) {
  const std::size_t n = x.rows, p = x.cols;
  Vector q(n, 0.0);
  if (p == 0) return q;
  for (std::size_t r0 = 0; r0 < n; r0 += kRowFormBlock) {
    const std::size_t nr = n - r0 < kRowFormBlock ? n - r0 : kRowFormBlock;
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

// Each symmetric S_j split as Σ_r e_r v_r v_rᵀ over its non-negligible
// eigenpairs (on the rows and columns where it is non-zero), carried through
// C: column r of `stacked` (p x R) is C v_r √|e_r|, with sign(e_r) and
// the index j of its penalty. Then for y_i = row i of X C,
// y_iᵀS_j y_i = Σ_{r of j} sign_r (x_iᵀ stacked_r)².
struct PenaltyRowFactors {
  Matrix stacked;
  std::vector<double> sign;
  std::vector<std::size_t> owner;
};

inline PenaltyRowFactors penalty_row_factors(std::size_t p, const Matrix& c,
                                             const std::vector<Matrix>& s) {
  const std::size_t m = s.size();
  std::vector<Vector> cols;  // stacked columns C v √|e|, each of length p
  PenaltyRowFactors f;
  for (std::size_t j = 0; j < m; ++j) {
    std::vector<std::size_t> idx;
    for (std::size_t a = 0; a < p; ++a) {
      bool used = false;
      for (std::size_t b = 0; b < p && !used; ++b) used = s[j](a, b) != 0.0 || s[j](b, a) != 0.0;
      if (used) idx.push_back(a);
    }
    const std::size_t k = idx.size();
    if (k == 0) continue;
    Matrix sub(k, k);
    for (std::size_t a = 0; a < k; ++a)
      for (std::size_t b = 0; b < k; ++b)
        sub(a, b) = 0.5 * (s[j](idx[a], idx[b]) + s[j](idx[b], idx[a]));
    auto eig = sym_eigen(sub);
    check_invariant(eig.ok(), "penalty eigendecomposition failed");
    const SymEigen& es = eig.value();
    double top = 0.0;
    for (double e : es.values) top = floor_at(top, std::fabs(e));
    for (std::size_t r = 0; r < k; ++r) {
      const double e = es.values[r];
      if (!(std::fabs(e) > 1e-13 * top)) continue;
      const double sc = std::sqrt(std::fabs(e));
      Vector col(p, 0.0);
      for (std::size_t a = 0; a < p; ++a) {
        double acc = 0.0;
        for (std::size_t b = 0; b < k; ++b) acc += c(a, idx[b]) * es.vectors(b, r);
        col[a] = sc * acc;
      }
      cols.push_back(std::move(col));
      f.sign.push_back(e > 0.0 ? 1.0 : -1.0);
      f.owner.push_back(j);
    }
  }
  const std::size_t rtot = cols.size();
  f.stacked = Matrix(p, rtot);
  for (std::size_t r = 0; r < rtot; ++r)
    for (std::size_t a = 0; a < p; ++a) f.stacked(a, r) = cols[r][a];
  return f;
}

// q_j[i] = y_iᵀS_j y_i for every symmetric S_j, where y_i is row i of X C
// (C p x p): one BLAS product of X with the stacked factor columns per row
// block serves every S_j.
inline std::vector<Vector> penalty_row_forms(MatrixView x, const Matrix& c,
                                             const std::vector<Matrix>& s) {
  const std::size_t n = x.rows, p = x.cols, m = s.size();
  std::vector<Vector> q(m, Vector(n, 0.0));
  if (p == 0 || m == 0) return q;
  const PenaltyRowFactors f = penalty_row_factors(p, c, s);
  const std::size_t rtot = f.sign.size();
  if (rtot == 0) return q;
  Matrix z;
  for (std::size_t r0 = 0; r0 < n; r0 += kRowFormBlock) {
    const std::size_t nr = n - r0 < kRowFormBlock ? n - r0 : kRowFormBlock;
    gemm_into(x.row_block(r0, nr), f.stacked.view(), z);
    for (std::size_t i = 0; i < nr; ++i) {
      const double* zi = z.row_ptr(i);
      for (std::size_t r = 0; r < rtot; ++r) q[f.owner[r]][r0 + i] += f.sign[r] * (zi[r] * zi[r]);
    }
  }
  return q;
}

}  // namespace quelt

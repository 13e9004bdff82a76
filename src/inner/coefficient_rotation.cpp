#include "inner/coefficient_rotation.hpp"

#include <algorithm>
#include <cmath>

#include "core/blas.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"

namespace quelt {

namespace {

// The rank rule of the designs: an eigenvalue of a penalty block counts as
// zero at or below this fraction of max(1, largest eigenvalue).
constexpr double kNullEigenRel = 1e-10;
// Rows of X rotated at a time: a 1024 x q slice stays in cache.
constexpr std::size_t kRotateRows = 1024;

// Indices where any member penalty has a non-zero entry in its row or
// column.
std::vector<std::size_t> block_of(const std::vector<Matrix>& penalties,
                                  const std::vector<std::size_t>& members, std::size_t p) {
  std::vector<std::size_t> cols;
  for (std::size_t a = 0; a < p; ++a) {
    bool used = false;
    for (std::size_t j : members)
      for (std::size_t b = 0; b < p && !used; ++b)
        used = penalties[j](a, b) != 0.0 || penalties[j](b, a) != 0.0;
    if (used) cols.push_back(a);
  }
  return cols;
}

bool all_diagonal(const std::vector<Matrix>& penalties, const std::vector<std::size_t>& members,
                  const std::vector<std::size_t>& cols) {
  for (std::size_t j : members)
    for (std::size_t a : cols)
      for (std::size_t b : cols)
        if (a != b && penalties[j](a, b) != 0.0) return false;
  return true;
}

// S_j restricted to the block.
Matrix restrict_to(const Matrix& s, const std::vector<std::size_t>& cols) {
  const std::size_t q = cols.size();
  Matrix out(q, q);
  for (std::size_t a = 0; a < q; ++a)
    for (std::size_t b = 0; b < q; ++b) out(a, b) = s(cols[a], cols[b]);
  return out;
}

// Rotates one group in place and returns its block rotation; false when the
// group is left as it is.
bool rotate_group(std::vector<Matrix>& penalties, const std::vector<std::size_t>& members,
                  std::size_t p, BlockRotation& out) {
  std::vector<std::size_t> cols = block_of(penalties, members, p);
  const std::size_t q = cols.size();
  if (q < 2 || all_diagonal(penalties, members, cols)) return false;
  Matrix sum(q, q);
  for (std::size_t j : members) {
    const Matrix sj = restrict_to(penalties[j], cols);
    for (std::size_t i = 0; i < sum.size(); ++i) sum.data()[i] += sj.data()[i];
  }
  symmetrize_average(sum);
  auto eig = sym_eigen(sum);
  if (!eig.ok()) return false;
  const SymEigen& es = eig.value();
  const double top = es.values.empty() ? 0.0 : es.values.back();
  const double tol = kNullEigenRel * floor_at(top, 1.0);
  std::vector<bool> null(q);
  for (std::size_t c = 0; c < q; ++c) null[c] = !(es.values[c] > tol);
  const Matrix& u = es.vectors;
  for (std::size_t j : members) {
    Matrix st(q, q);
    if (members.size() == 1) {
      for (std::size_t c = 0; c < q; ++c) st(c, c) = null[c] ? 0.0 : es.values[c];
    } else {
      st = matmul(matmul(u.view().t(), restrict_to(penalties[j], cols).view()).view(), u.view());
      symmetrize_average(st);
      for (std::size_t c = 0; c < q; ++c)
        if (null[c])
          for (std::size_t d = 0; d < q; ++d) st(c, d) = st(d, c) = 0.0;
    }
    Matrix& s = penalties[j];
    for (std::size_t a = 0; a < q; ++a)
      for (std::size_t b = 0; b < q; ++b) s(cols[a], cols[b]) = st(a, b);
  }
  out.cols = std::move(cols);
  out.u = u;
  return true;
}

}  // namespace

CoefficientRotation rotate_penalties(std::vector<Matrix>& penalties,
                                     const std::vector<std::vector<std::size_t>>& groups) {
  CoefficientRotation r;
  if (penalties.empty()) return r;
  const std::size_t p = penalties.front().rows();
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    r.penalty_widths.push_back(block_of(penalties, {j}, p).size());
    Vector d(p);
    for (std::size_t a = 0; a < p; ++a) d[a] = penalties[j](a, a);
    r.penalty_diagonals.push_back(std::move(d));
  }
  std::vector<std::vector<std::size_t>> own;
  if (groups.empty())
    for (std::size_t j = 0; j < penalties.size(); ++j) own.push_back({j});
  for (const auto& members : groups.empty() ? own : groups) {
    if (members.empty()) continue;
    BlockRotation b;
    if (rotate_group(penalties, members, p, b)) r.blocks.push_back(std::move(b));
  }
  return r;
}

void rotate_model_matrix(Matrix& x, const CoefficientRotation& r) {
  const std::size_t n = x.rows();
  Matrix slice, rotated;
  for (const BlockRotation& b : r.blocks) {
    const std::size_t q = b.cols.size();
    // A block of adjacent columns (every term of an additive design) is read
    // in place as a strided view; others are gathered first.
    const bool adjacent = b.cols.back() - b.cols.front() + 1 == q;
    for (std::size_t r0 = 0; r0 < n; r0 += kRotateRows) {
      const std::size_t nb = std::min(kRotateRows, n - r0);
      MatrixView in = x.view().row_block(r0, nb);
      if (adjacent) {
        in.ptr += b.cols.front();
        in.cols = q;
      } else {
        if (slice.rows() != nb || slice.cols() != q) slice = Matrix(nb, q);
        for (std::size_t i = 0; i < nb; ++i) {
          const double* src = x.row_ptr(r0 + i);
          double* dst = slice.row_ptr(i);
          for (std::size_t c = 0; c < q; ++c) dst[c] = src[b.cols[c]];
        }
        in = slice.view();
      }
      gemm_into(in, b.u.view(), rotated);
      for (std::size_t i = 0; i < nb; ++i) {
        const double* src = rotated.row_ptr(i);
        double* dst = x.row_ptr(r0 + i);
        for (std::size_t c = 0; c < q; ++c) dst[b.cols[c]] = src[c];
      }
    }
  }
}

namespace {

// Rows `cols` of A (all columns) replaced by M·A[cols, :] (M is q x q).
void left_multiply_rows(Matrix& a, const std::vector<std::size_t>& cols, MatrixView m) {
  const std::size_t q = cols.size(), w = a.cols();
  Matrix rows(q, w);
  for (std::size_t c = 0; c < q; ++c)
    for (std::size_t k = 0; k < w; ++k) rows(c, k) = a(cols[c], k);
  const Matrix out = matmul(m, rows.view());
  for (std::size_t c = 0; c < q; ++c)
    for (std::size_t k = 0; k < w; ++k) a(cols[c], k) = out(c, k);
}

// Columns `cols` of A replaced by A[:, cols]·M.
void right_multiply_cols(Matrix& a, const std::vector<std::size_t>& cols, MatrixView m) {
  const std::size_t q = cols.size(), h = a.rows();
  Matrix part(h, q);
  for (std::size_t i = 0; i < h; ++i)
    for (std::size_t c = 0; c < q; ++c) part(i, c) = a(i, cols[c]);
  const Matrix out = matmul(part.view(), m);
  for (std::size_t i = 0; i < h; ++i)
    for (std::size_t c = 0; c < q; ++c) a(i, cols[c]) = out(i, c);
}

// v_g ← U_g·v_g (or U_gᵀ·v_g) on the columns of every rotated block g.
void multiply_blocks(Vector& v, const CoefficientRotation& r, bool transpose) {
  for (const BlockRotation& b : r.blocks) {
    const std::size_t q = b.cols.size();
    Vector part(q);
    for (std::size_t c = 0; c < q; ++c) part[c] = v[b.cols[c]];
    for (std::size_t c = 0; c < q; ++c) {
      double acc = 0.0;
      for (std::size_t d = 0; d < q; ++d) acc += (transpose ? b.u(d, c) : b.u(c, d)) * part[d];
      v[b.cols[c]] = acc;
    }
  }
}

}  // namespace

void rotate_gram(Matrix& a, const CoefficientRotation& r) {
  if (r.is_identity()) return;
  for (const BlockRotation& b : r.blocks) left_multiply_rows(a, b.cols, b.u.view().t());
  for (const BlockRotation& b : r.blocks) right_multiply_cols(a, b.cols, b.u.view());
  symmetrize_average(a);
}

void rotate_vector_to(Vector& v, const CoefficientRotation& r) {
  multiply_blocks(v, r, /*transpose=*/true);
}

Vector design_diagonal(const CoefficientRotation& r, const Matrix& a) {
  const std::size_t p = a.rows();
  Vector d(p);
  for (std::size_t k = 0; k < p; ++k) d[k] = a(k, k);
  for (const BlockRotation& b : r.blocks) {
    const std::size_t q = b.cols.size();
    for (std::size_t i = 0; i < q; ++i) {
      // Row i of U_g against the block of A: Σ_cd U_ic·A_cd·U_id.
      double acc = 0.0;
      for (std::size_t c = 0; c < q; ++c) {
        double row = 0.0;
        for (std::size_t e = 0; e < q; ++e) row += a(b.cols[c], b.cols[e]) * b.u(i, e);
        acc += b.u(i, c) * row;
      }
      d[b.cols[i]] = acc;
    }
  }
  return d;
}

Vector design_axis(const CoefficientRotation& r, std::size_t j, std::size_t p) {
  Vector v(p, 0.0);
  v[j] = 1.0;
  rotate_vector_to(v, r);
  return v;
}

Vector penalty_design_diagonal(const CoefficientRotation& r, const Matrix& penalty, std::size_t j) {
  if (j < r.penalty_diagonals.size()) return r.penalty_diagonals[j];
  Vector d(penalty.rows());
  for (std::size_t a = 0; a < d.size(); ++a) d[a] = penalty(a, a);
  return d;
}

Vector coefficients_to_design(const CoefficientRotation& r, Vector beta) {
  multiply_blocks(beta, r, /*transpose=*/false);
  return beta;
}

Matrix covariance_to_design(const CoefficientRotation& r, Matrix v) {
  if (r.is_identity()) return v;
  for (const BlockRotation& b : r.blocks) left_multiply_rows(v, b.cols, b.u.view());
  for (const BlockRotation& b : r.blocks) right_multiply_cols(v, b.cols, b.u.view().t());
  symmetrize_average(v);
  return v;
}

}  // namespace quelt

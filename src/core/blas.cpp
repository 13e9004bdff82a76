#include "core/blas.hpp"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "core/lanes.hpp"

namespace quelt {
namespace {

constexpr std::size_t kIntMax = static_cast<std::size_t>(INT_MAX);
// Rows per block when a block of X has to be copied or scaled: about 1 MiB
// of doubles, at least 256 rows.
constexpr std::size_t kBlockDoubles = 131072;
constexpr std::size_t kMinBlockRows = 256;
// Rows per BLAS call when X is used in place (keeps row counts in int range).
constexpr std::size_t kDirectBlockRows = std::size_t{1} << 24;

// A view described for row-major CBLAS: the matrix is op(M) where M is the
// row-major matrix at `ptr` with leading dimension `ld`.
struct BlasOperand {
  const double* ptr;
  CBLAS_TRANSPOSE trans;
  int ld;
};

// The CBLAS description of v, when its strides allow one: unit stride along
// the columns (row-major with ld >= cols) or along the rows (the transpose of
// a row-major matrix). Strides along a dimension of size 0 or 1 are ignored.
std::optional<BlasOperand> as_blas(MatrixView v) {
  if (v.rows > kIntMax || v.cols > kIntMax) return std::nullopt;
  const auto rows = static_cast<std::ptrdiff_t>(std::max<std::size_t>(v.rows, 1));
  const auto cols = static_cast<std::ptrdiff_t>(std::max<std::size_t>(v.cols, 1));
  {
    const std::ptrdiff_t cs = v.cols <= 1 ? 1 : v.col_stride;
    const std::ptrdiff_t rs = v.rows <= 1 ? cols : v.row_stride;
    if (cs == 1 && rs >= cols && rs <= INT_MAX)
      return BlasOperand{v.ptr, CblasNoTrans, static_cast<int>(rs)};
  }
  {
    const std::ptrdiff_t cs = v.rows <= 1 ? 1 : v.row_stride;
    const std::ptrdiff_t rs = v.cols <= 1 ? rows : v.col_stride;
    if (cs == 1 && rs >= rows && rs <= INT_MAX)
      return BlasOperand{v.ptr, CblasTrans, static_cast<int>(rs)};
  }
  return std::nullopt;
}

// Copies v into `buf` (row-major, contiguous) and describes the copy.
BlasOperand copy_operand(MatrixView v, std::vector<double>& buf) {
  buf.resize(v.rows * v.cols);
  for (std::size_t i = 0; i < v.rows; ++i)
    for (std::size_t j = 0; j < v.cols; ++j) buf[i * v.cols + j] = v(i, j);
  return BlasOperand{buf.data(), CblasNoTrans, static_cast<int>(std::max<std::size_t>(v.cols, 1))};
}

CBLAS_TRANSPOSE flip(CBLAS_TRANSPOSE t) { return t == CblasNoTrans ? CblasTrans : CblasNoTrans; }

// Rows of a block of X (row i at x + i·ldx, p unit-stride entries) scaled
// by sqrt|w_i| into pos (w_i >= 0 or NaN) or neg (w_i < 0), in row order;
// returns the number of rows written to each.
QUELT_WIDE_CLONES
std::pair<std::size_t, std::size_t> scale_block(const double* x, std::ptrdiff_t ldx, std::size_t nb,
                                                std::size_t p, const double* w, double* pos,
                                                double* neg) {
  std::size_t np = 0, nn = 0;
  for (std::size_t i = 0; i < nb; ++i) {
    const double wi = w[i];
    double* dst;
    double s;
    if (wi < 0.0) {
      dst = neg + (nn++) * p;
      s = std::sqrt(-wi);
    } else {
      dst = pos + (np++) * p;
      s = std::sqrt(wi);
    }
    const double* src = x + static_cast<std::ptrdiff_t>(i) * ldx;
    const Lanes4 sv = splat4(s);
    std::size_t j = 0;
    for (; j + 4 <= p; j += 4) store4(dst + j, sv * load4(src + j));
    for (; j < p; ++j) dst[j] = s * src[j];
  }
  return {np, nn};
}

std::size_t scaled_block_rows(std::size_t p) {
  return std::max(kMinBlockRows, kBlockDoubles / std::max<std::size_t>(p, 1));
}

// Calls fn(operand, r0, nb) for consecutive row blocks [r0, r0 + nb) of x,
// in place when the strides allow it, else through a copied block.
template <class Fn>
void for_each_row_block(MatrixView x, Fn&& fn) {
  const std::size_t n = x.rows;
  const bool direct = as_blas(x.row_block(0, std::min(n, kDirectBlockRows))).has_value();
  const std::size_t block = direct ? kDirectBlockRows : scaled_block_rows(x.cols);
  std::vector<double> buf;
  for (std::size_t r0 = 0; r0 < n; r0 += block) {
    const std::size_t nb = std::min(block, n - r0);
    MatrixView sub = x.row_block(r0, nb);
    std::optional<BlasOperand> op = direct ? as_blas(sub) : std::nullopt;
    fn(op ? *op : copy_operand(sub, buf), r0, nb);
  }
}

}  // namespace

Matrix gemm(MatrixView a, MatrixView b) {
  Matrix c;
  gemm_into(a, b, c);
  return c;
}

void gemm_into(MatrixView a, MatrixView b, Matrix& c) {
  check_invariant(a.cols == b.rows, "gemm: inner dimensions differ");
  const std::size_t m = a.rows, n = b.cols, k = a.cols;
  if (c.rows() != m || c.cols() != n) c = Matrix(m, n);
  if (m == 0 || n == 0) return;
  if (k == 0) {
    std::fill(c.storage().begin(), c.storage().end(), 0.0);
    return;
  }
  if (m > kIntMax || n > kIntMax || k > kIntMax) {
    c = matmul(a, b);
    return;
  }
  std::vector<double> abuf, bbuf;
  auto ao = as_blas(a);
  BlasOperand oa = ao ? *ao : copy_operand(a, abuf);
  auto bo = as_blas(b);
  BlasOperand ob = bo ? *bo : copy_operand(b, bbuf);
  cblas_dgemm(CblasRowMajor, oa.trans, ob.trans, static_cast<int>(m), static_cast<int>(n),
              static_cast<int>(k), 1.0, oa.ptr, oa.ld, ob.ptr, ob.ld, 0.0, c.data(),
              static_cast<int>(n));
}

Matrix xtwx(MatrixView x, const double* w) {
  const std::size_t n = x.rows, p = x.cols;
  Matrix c(p, p);
  if (n == 0 || p == 0) return c;
  check_invariant(p <= kIntMax, "xtwx: too many columns");
  const int pi = static_cast<int>(p);

  if (w == nullptr) {
    for_each_row_block(x, [&](BlasOperand op, std::size_t, std::size_t nb) {
      cblas_dsyrk(CblasRowMajor, CblasUpper, flip(op.trans), pi, static_cast<int>(nb), 1.0, op.ptr,
                  op.ld, 1.0, c.data(), pi);
    });
  } else {
    WeightedGram g(p);
    const std::size_t block = WeightedGram::block_rows(p);
    for (std::size_t r0 = 0; r0 < n; r0 += block) {
      const std::size_t nb = std::min(block, n - r0);
      g.add(x.row_block(r0, nb), w + r0);
    }
    return g.result();
  }
  // Mirror the upper triangle so the result is exactly symmetric.
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = i + 1; j < p; ++j) c(j, i) = c(i, j);
  return c;
}

WeightedGram::WeightedGram(std::size_t p) : p_(p), upper_(p, p) {
  check_invariant(p <= kIntMax, "WeightedGram: too many columns");
}

std::size_t WeightedGram::block_rows(std::size_t p) { return scaled_block_rows(p); }

void WeightedGram::add(MatrixView x, const double* w) {
  const std::size_t nb = x.rows, p = p_;
  check_invariant(x.cols == p && nb <= block_rows(p), "WeightedGram: block of the wrong shape");
  if (nb == 0 || p == 0) return;
  // XᵀWX = Σ_{w_i ≥ 0} (√w_i·x_i)(√w_i·x_i)ᵀ − Σ_{w_i < 0} (√−w_i·x_i)(√−w_i·x_i)ᵀ:
  // two symmetric rank-k updates per block of rows, each on a small scaled
  // copy of the block. NaN weights go with the first sum and propagate.
  if (pos_.size() < nb * p) {
    pos_.resize(nb * p);
    neg_.resize(nb * p);
  }
  const int pi = static_cast<int>(p);
  std::size_t np = 0, nn = 0;
  if (x.col_stride == 1) {
    std::tie(np, nn) = scale_block(x.ptr, x.row_stride, nb, p, w, pos_.data(), neg_.data());
  } else {
    for (std::size_t i = 0; i < nb; ++i) {
      const double wi = w[i];
      double* dst;
      double s;
      if (wi < 0.0) {
        dst = neg_.data() + (nn++) * p;
        s = std::sqrt(-wi);
      } else {
        dst = pos_.data() + (np++) * p;
        s = std::sqrt(wi);
      }
      for (std::size_t j = 0; j < p; ++j) dst[j] = s * x(i, j);
    }
  }
  if (np > 0)
    cblas_dsyrk(CblasRowMajor, CblasUpper, CblasTrans, pi, static_cast<int>(np), 1.0, pos_.data(),
                pi, 1.0, upper_.data(), pi);
  if (nn > 0)
    cblas_dsyrk(CblasRowMajor, CblasUpper, CblasTrans, pi, static_cast<int>(nn), -1.0, neg_.data(),
                pi, 1.0, upper_.data(), pi);
}

Matrix WeightedGram::result() const {
  Matrix c = upper_;
  for (std::size_t i = 0; i < p_; ++i)
    for (std::size_t j = i + 1; j < p_; ++j) c(j, i) = c(i, j);
  return c;
}

void matvec_into(MatrixView x, const double* b, double* out) {
  const std::size_t n = x.rows, p = x.cols;
  if (n == 0) return;
  if (p == 0) {
    std::fill(out, out + n, 0.0);
    return;
  }
  check_invariant(p <= kIntMax, "matvec: too many columns");
  const int pi = static_cast<int>(p);
  for_each_row_block(x, [&](BlasOperand op, std::size_t r0, std::size_t nb) {
    const int nbi = static_cast<int>(nb);
    if (op.trans == CblasNoTrans)
      cblas_dgemv(CblasRowMajor, CblasNoTrans, nbi, pi, 1.0, op.ptr, op.ld, b, 1, 0.0, out + r0, 1);
    else
      cblas_dgemv(CblasRowMajor, CblasTrans, pi, nbi, 1.0, op.ptr, op.ld, b, 1, 0.0, out + r0, 1);
  });
}

void add_xt_times(MatrixView x, const double* v, double* out) {
  const std::size_t n = x.rows, p = x.cols;
  if (n == 0 || p == 0) return;
  check_invariant(p <= kIntMax, "xtwz: too many columns");
  const int pi = static_cast<int>(p);
  for_each_row_block(x, [&](BlasOperand op, std::size_t r0, std::size_t nb) {
    const int nbi = static_cast<int>(nb);
    // out += op(M)ᵀ·v_block; op(M) is nb x p.
    if (op.trans == CblasNoTrans)
      cblas_dgemv(CblasRowMajor, CblasTrans, nbi, pi, 1.0, op.ptr, op.ld, v + r0, 1, 1.0, out, 1);
    else
      cblas_dgemv(CblasRowMajor, CblasNoTrans, pi, nbi, 1.0, op.ptr, op.ld, v + r0, 1, 1.0, out, 1);
  });
}

Vector xtwz(MatrixView x, const double* w, const Vector& z) {
  const std::size_t n = x.rows, p = x.cols;
  check_invariant(z.size() == n, "xtwz: z must have one entry per row of X");
  Vector out(p, 0.0);
  if (n == 0 || p == 0) return out;
  if (w == nullptr) {
    add_xt_times(x, z.data(), out.data());
    return out;
  }
  Vector v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = w[i] * z[i];
  add_xt_times(x, v.data(), out.data());
  return out;
}

Vector matvec(MatrixView x, const Vector& b) {
  const std::size_t n = x.rows, p = x.cols;
  check_invariant(b.size() == p, "matvec: b must have one entry per column of X");
  Vector out(n, 0.0);
  if (n == 0 || p == 0) return out;
  matvec_into(x, b.data(), out.data());
  return out;
}

namespace {

// Row i of c = a_row · b for one row a_row (kk entries) of a and the
// row-major kk x n matrix b (leading dimension ldb). Column j is summed as
// 0.0 + a_0·b_0j + a_1·b_1j + … in increasing k, eight or four columns at a
// time in registers.
// Stores the first `count` (< 4) lanes of v at p.
inline void store_first(double* p, const Lanes4& v, std::size_t count) {
  double tmp[4];
  store4(tmp, v);
  for (std::size_t l = 0; l < count; ++l) p[l] = tmp[l];
}

// Row i of c = a_row · b for one row a_row (kk entries) of a and the
// row-major kk x n matrix b (leading dimension ldb >= n rounded up to a
// multiple of 4; columns beyond n are read but never stored). Column j is
// summed as 0.0 + a_0·b_0j + a_1·b_1j + … in increasing k, eight or four
// columns at a time in registers.
inline __attribute__((always_inline)) void matmul_row(const double* arow, const double* bp,
                                                      std::size_t ldb, std::size_t kk,
                                                      std::size_t n, double* ci) {
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    Lanes4 c0 = {0.0, 0.0, 0.0, 0.0}, c1 = c0;
    const double* bk = bp + j;
    for (std::size_t k = 0; k < kk; ++k, bk += ldb) {
      const Lanes4 sv = splat4(arow[k]);
      c0 = c0 + sv * load4(bk);
      c1 = c1 + sv * load4(bk + 4);
    }
    store4(ci + j, c0);
    store4(ci + j + 4, c1);
  }
  for (; j < n; j += 4) {
    Lanes4 c0 = {0.0, 0.0, 0.0, 0.0};
    const double* bk = bp + j;
    for (std::size_t k = 0; k < kk; ++k, bk += ldb) c0 = c0 + splat4(arow[k]) * load4(bk);
    if (j + 4 <= n)
      store4(ci + j, c0);
    else
      store_first(ci + j, c0, n - j);
  }
}

// Rows i < m of c (leading dimension n) for the rows of a at a + i·lda.
QUELT_WIDE_CLONES
void matmul_rows(const double* a, std::ptrdiff_t lda, std::size_t m, const double* bp,
                 std::size_t ldb, std::size_t kk, std::size_t n, double* c) {
  for (std::size_t i = 0; i < m; ++i)
    matmul_row(a + static_cast<std::ptrdiff_t>(i) * lda, bp, ldb, kk, n, c + i * n);
}

}  // namespace

Matrix matmul(MatrixView a, MatrixView b) {
  check_invariant(a.cols == b.rows, "matmul: inner dimensions differ");
  const std::size_t m = a.rows, n = b.cols, kk = a.cols;
  Matrix c(m, n);
  if (m == 0 || n == 0 || kk == 0) return c;
  // For each (i, j) the products are added to 0.0 in increasing k. b is read
  // through a row-major copy, padded with zero columns to a multiple of four,
  // unless its rows are already contiguous and that wide; a row of a is
  // gathered when its entries are strided.
  std::vector<double> bbuf, abuf;
  const double* bp = b.ptr;
  std::size_t ldb = static_cast<std::size_t>(b.row_stride);
  const std::size_t n4 = (n + 3) / 4 * 4;
  if ((b.col_stride != 1 && n > 1) || b.row_stride < 0 || n4 != n) {
    bbuf.assign(kk * n4, 0.0);
    for (std::size_t k = 0; k < kk; ++k)
      for (std::size_t j = 0; j < n; ++j) bbuf[k * n4 + j] = b(k, j);
    bp = bbuf.data();
    ldb = n4;
  }
  if (a.col_stride == 1) {
    matmul_rows(a.ptr, a.row_stride, m, bp, ldb, kk, n, c.data());
    return c;
  }
  abuf.resize(kk);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t k = 0; k < kk; ++k) abuf[k] = a(i, k);
    matmul_rows(abuf.data(), 0, 1, bp, ldb, kk, n, c.row_ptr(i));
  }
  return c;
}

Matrix transpose(MatrixView a) { return a.t().to_owned(); }

}  // namespace quelt

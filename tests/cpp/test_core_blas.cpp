#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/blas.hpp"
#include "core/error.hpp"

namespace quelt {
namespace {

Matrix random_matrix(std::size_t r, std::size_t c, std::mt19937_64& g) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (auto& v : m.storage()) v = u(g);
  return m;
}

// Reference Xᵀ·diag(w)·X and Xᵀ·diag(w)·z in long double.
Matrix ref_xtwx(MatrixView x, const double* w) {
  Matrix c(x.cols, x.cols);
  for (std::size_t a = 0; a < x.cols; ++a)
    for (std::size_t b = 0; b < x.cols; ++b) {
      long double s = 0;
      for (std::size_t i = 0; i < x.rows; ++i)
        s += (long double)(w ? w[i] : 1.0) * x(i, a) * x(i, b);
      c(a, b) = (double)s;
    }
  return c;
}

void expect_close(const Matrix& a, const Matrix& b, double tol) {
  ASSERT_EQ(a.rows(), b.rows());
  ASSERT_EQ(a.cols(), b.cols());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a.data()[i], b.data()[i], tol) << i;
}

// The same n x p data as a contiguous matrix, as a column block of a wider
// matrix (row stride > cols), with a column stride of 2, and as a transpose.
struct Layouts {
  Matrix plain, wide, interleaved, transposed;
  std::vector<MatrixView> views() const {
    const std::size_t n = plain.rows(), p = plain.cols();
    return {plain.view(),
            MatrixView{wide.data() + 1, n, p, static_cast<std::ptrdiff_t>(wide.cols()), 1},
            MatrixView{interleaved.data(), n, p, static_cast<std::ptrdiff_t>(2 * p), 2},
            transposed.view().t()};
  }
};

Layouts make_layouts(std::size_t n, std::size_t p, std::mt19937_64& g) {
  Layouts l{random_matrix(n, p, g), Matrix(n, p + 3, 9.0), Matrix(n, 2 * p, 9.0), Matrix(p, n)};
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      l.wide(i, j + 1) = l.interleaved(i, 2 * j) = l.transposed(j, i) = l.plain(i, j);
    }
  return l;
}

TEST(Blas, WeightedCrossProductsOnEveryLayout) {
  std::mt19937_64 g(11);
  const std::size_t n = 20011, p = 20;  // several row blocks and a remainder
  Layouts lay = make_layouts(n, p, g);
  std::uniform_real_distribution<double> u(-1.0, 2.0);
  Vector signed_w(n), pos_w(n), z(n);
  for (std::size_t i = 0; i < n; ++i) {
    signed_w[i] = u(g);
    pos_w[i] = std::fabs(signed_w[i]);
    z[i] = u(g);
  }
  signed_w[7] = 0.0;
  for (const double* w : std::vector<const double*>{nullptr, pos_w.data(), signed_w.data()}) {
    Matrix ref = ref_xtwx(lay.plain, w);
    Vector zw(n);
    for (std::size_t i = 0; i < n; ++i) zw[i] = (w ? w[i] : 1.0) * z[i];
    for (MatrixView v : lay.views()) {
      Matrix c = xtwx(v, w);
      expect_close(c, ref, 1e-10);
      for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b) EXPECT_EQ(c(a, b), c(b, a));
      Vector t = xtwz(v, w, z);
      for (std::size_t a = 0; a < p; ++a) {
        long double s = 0;
        for (std::size_t i = 0; i < n; ++i) s += (long double)zw[i] * lay.plain(i, a);
        EXPECT_NEAR(t[a], (double)s, 1e-10);
      }
    }
  }
}

TEST(Blas, ProductsAgreeWithPlainLoopsOnEveryLayout) {
  std::mt19937_64 g(12);
  const std::size_t n = 301, p = 4;
  Layouts lay = make_layouts(n, p, g);
  Matrix b = random_matrix(p, 3, g);
  Vector bv = {0.5, -1.0, 2.0, 0.25};
  const Matrix ref = matmul(lay.plain, b);
  for (MatrixView v : lay.views()) {
    // The plain-loop product does not depend on the layout, to the bit.
    EXPECT_EQ(matmul(v, b), ref);
    expect_close(gemm(v, b), ref, 1e-13);
    Vector mv = matvec(v, bv);
    for (std::size_t i = 0; i < n; ++i) {
      double s = 0;
      for (std::size_t k = 0; k < p; ++k) s += lay.plain(i, k) * bv[k];
      EXPECT_NEAR(mv[i], s, 1e-13);
    }
  }
  // gemm with both operands transposed views: (bᵀ·Xᵀ)ᵀ = X·b.
  expect_close(transpose(gemm(b.view().t(), lay.plain.view().t())), ref, 1e-13);
  // A row subset of the plain-loop product is the product of the row subset.
  Matrix sub = matmul(lay.plain.view().row_block(100, 50), b);
  for (std::size_t i = 0; i < 50; ++i)
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(sub(i, j), ref(100 + i, j));
  // Summation in increasing k from 0.0: (1e16 + 1) - 1e16 loses the 1.
  Matrix a1(1, 3, std::vector<double>{1e16, 1.0, -1e16});
  Matrix ones(3, 1, 1.0);
  EXPECT_EQ(matmul(a1, ones)(0, 0), 0.0);
}

// matmul is exact to the bit against the scalar definition for every output
// width (the wide paths handle eight and four columns at a time, then the
// rest) and for right operands given as strided views or transposes.
TEST(Blas, PlainLoopProductIsTheScalarSumForEveryWidth) {
  std::mt19937_64 g(13);
  const std::size_t m = 37, kk = 21;
  const Matrix a = random_matrix(m, kk, g);
  for (std::size_t n : {1u, 3u, 4u, 5u, 8u, 11u, 12u, 19u, 20u}) {
    const Matrix b = random_matrix(kk, n, g);
    Matrix ref(m, n);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (std::size_t k = 0; k < kk; ++k) s = s + a(i, k) * b(k, j);
        ref(i, j) = s;
      }
    EXPECT_EQ(matmul(a, b), ref) << n;
    const Matrix bt = transpose(b);
    EXPECT_EQ(matmul(a, bt.view().t()), ref) << n;
    const Matrix at = transpose(a);
    EXPECT_EQ(matmul(at.view().t(), b), ref) << n;
  }
}

// XᵀWX does not depend on the layout of X to the bit (the scaled copy of a
// block is the same from contiguous and strided rows), a WeightedGram fed
// the blocks in order gives xtwx itself, and a product written into a
// matrix of stale (NaN) contents overwrites every entry.
TEST(Blas, CrossProductsAreLayoutFreeAndBlockwiseExact) {
  std::mt19937_64 g(14);
  const std::size_t n = 15013, p = 21;
  Layouts lay = make_layouts(n, p, g);
  std::uniform_real_distribution<double> u(-1.0, 2.0);
  Vector w(n);
  for (double& v : w) v = u(g);
  const Matrix ref = xtwx(lay.plain, w.data());
  for (MatrixView v : lay.views()) EXPECT_EQ(xtwx(v, w.data()), ref);
  WeightedGram gram(p);
  const std::size_t b = WeightedGram::block_rows(p);
  ASSERT_LT(b, n);
  for (std::size_t r0 = 0; r0 < n; r0 += b)
    gram.add(lay.plain.view().row_block(r0, std::min(b, n - r0)), w.data() + r0);
  EXPECT_EQ(gram.result(), ref);

  const Matrix bm = random_matrix(p, 5, g);
  Matrix c(n, 5, std::nan(""));
  gemm_into(lay.plain, bm, c);
  EXPECT_EQ(c, gemm(lay.plain, bm));
  Vector out(n, std::nan(""));
  Vector bv(p, 0.5);
  matvec_into(lay.plain, bv.data(), out.data());
  EXPECT_EQ(out, matvec(lay.plain, bv));
}

TEST(Blas, EmptyShapesAndContracts) {
  EXPECT_EQ(gemm(Matrix(3, 0), Matrix(0, 2)), Matrix(3, 2));
  EXPECT_EQ(xtwx(Matrix(0, 3), nullptr), Matrix(3, 3));
  EXPECT_EQ(xtwz(Matrix(0, 2), nullptr, Vector{}), (Vector{0, 0}));
  EXPECT_EQ(matvec(Matrix(2, 0), Vector{}), (Vector{0, 0}));
  EXPECT_EQ(transpose(Matrix(2, 3, std::vector<double>{1, 2, 3, 4, 5, 6})),
            Matrix(3, 2, std::vector<double>{1, 4, 2, 5, 3, 6}));
  // A NaN weight is not dropped: it reaches every entry.
  Vector nan_w = {1.0, std::nan(""), -2.0};
  const Matrix with_nan = xtwx(Matrix(3, 2, 1.0), nan_w.data());
  for (double v : with_nan.storage()) EXPECT_TRUE(std::isnan(v));
  EXPECT_THROW(gemm(Matrix(2, 3), Matrix(2, 3)), InvariantViolation);
  EXPECT_THROW(matmul(Matrix(2, 3), Matrix(2, 3)), InvariantViolation);
  EXPECT_THROW(xtwz(Matrix(3, 2), nullptr, Vector{1, 2}), InvariantViolation);
  EXPECT_THROW(matvec(Matrix(3, 2), Vector{1}), InvariantViolation);
}

}  // namespace
}  // namespace quelt

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"

namespace quelt {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Matrix random_matrix(std::size_t r, std::size_t c, std::mt19937_64& g) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (auto& v : m.storage()) v = u(g);
  return m;
}

// Reference product by the textbook triple loop.
Matrix naive_mul(MatrixView a, MatrixView b) {
  Matrix c(a.rows, b.cols);
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) {
      long double s = 0;
      for (std::size_t k = 0; k < a.cols; ++k) s += (long double)a(i, k) * b(k, j);
      c(i, j) = (double)s;
    }
  return c;
}

// M·Mᵀ + n·I: symmetric positive definite.
Matrix random_spd(std::size_t n, std::mt19937_64& g) {
  Matrix m = random_matrix(n, n, g);
  Matrix a = naive_mul(m, m.view().t());
  for (std::size_t i = 0; i < n; ++i) a(i, i) += double(n);
  return a;
}

double max_abs_diff(const Matrix& a, const Matrix& b) {
  EXPECT_EQ(a.rows(), b.rows());
  EXPECT_EQ(a.cols(), b.cols());
  double d = 0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::fmax(d, std::fabs(a.data()[i] - b.data()[i]));
  return d;
}

template <class F>
std::string invariant_message(F&& f) {
  try {
    f();
  } catch (const InvariantViolation& e) {
    return e.what();
  }
  return "<no invariant failure>";
}

TEST(Cholesky, FactorReadsOnlyLowerTriangleAndZerosUpper) {
  std::mt19937_64 g(1);
  for (std::size_t n : {1u, 5u, 40u}) {
    Matrix a = random_spd(n, g);
    Matrix garbage = a;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) garbage(i, j) = kNaN;
    auto L = cholesky(garbage);
    ASSERT_TRUE(L.ok()) << n;
    const Matrix& l = L.value();
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_GT(l(i, i), 0.0);
      for (std::size_t j = i + 1; j < n; ++j) EXPECT_EQ(l(i, j), 0.0);
    }
    EXPECT_LT(max_abs_diff(naive_mul(l, l.view().t()), a), 1e-12 * double(n));
    // log det from the factor against the eigenvalues of A.
    auto e = sym_eigen(a);
    ASSERT_TRUE(e.ok());
    double ld = 0;
    for (double v : e.value().values) ld += std::log(v);
    EXPECT_NEAR(log_det_from_cholesky(l), ld, 1e-10 * double(n));
  }
}

TEST(Cholesky, FailuresAreSingularSystemWithPrefix) {
  for (Matrix m : {Matrix(2, 2, std::vector<double>{1, 2, 2, 1}), Matrix(2, 3)}) {
    auto r = cholesky(m);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, QueltError::Kind::SingularSystem);
    EXPECT_EQ(r.error().message.rfind("Cholesky failed: ", 0), 0u) << r.error().message;
  }
  // The failing leading minor is named; a NaN in the lower triangle is a
  // failure there too, not a NaN factor.
  auto r = cholesky(Matrix(2, 2, std::vector<double>{1, 2, 2, 1}));
  EXPECT_NE(r.error().message.find("order 2"), std::string::npos) << r.error().message;
  for (std::size_t n : {1u, 3u, 100u}) {
    Matrix a = Matrix::identity(n);
    a(n - 1, 0) = kNaN;
    auto f = cholesky(a);
    ASSERT_FALSE(f.ok()) << n;
    EXPECT_NE(f.error().message.find("order " + std::to_string(n)), std::string::npos)
        << f.error().message;
  }
  EXPECT_TRUE(cholesky(Matrix(0, 0)).ok());
}

TEST(Cholesky, TriangularSolvesInvertA) {
  std::mt19937_64 g(2);
  Matrix a = random_spd(7, g);
  Matrix L = cholesky(a).value();
  Vector b = {1, -2, 3, 0.5, 0, 4, -1};
  Vector x = chol_back_solve(L, chol_forward_solve(L, b));
  for (std::size_t i = 0; i < 7; ++i) {
    double s = 0;
    for (std::size_t k = 0; k < 7; ++k) s += a(i, k) * x[k];
    EXPECT_NEAR(s, b[i], 1e-12);
  }
  Vector longer = b;
  longer.push_back(99.0);  // entries beyond n are ignored
  EXPECT_EQ(chol_forward_solve(L, longer), chol_forward_solve(L, b));
  Vector shorter(b.begin(), b.end() - 1);
  EXPECT_THROW(chol_forward_solve(L, shorter), InvariantViolation);
  EXPECT_THROW(chol_back_solve(L, shorter), InvariantViolation);
}

TEST(CholSolvePenalized, RidgeIsRelativeToEachDiagonalEntry) {
  // Each diagonal entry gets 1e-12 of itself: H in other units (H·c, r·c),
  // or in other units per coefficient (D·H·D), gives the same β, and a
  // diagonal dwarfed by a heavily penalized one (1 beside 1e20) is not
  // swamped by a ridge sized to the latter.
  for (auto [h0, h1] :
       {std::pair{1e6, 2e6}, std::pair{0.5, 0.25}, std::pair{2e-9, 1e-9}, std::pair{1e20, 1.0}}) {
    Matrix H(2, 2, std::vector<double>{h0, 0, 0, h1});
    Vector r = {1.0, 3.0};
    auto res = chol_solve_penalized(H, r);
    ASSERT_TRUE(res.ok());
    const auto& [L, beta] = res.value();
    // The factor is that of H itself, not of the ridged copy.
    EXPECT_EQ(L(0, 0), std::sqrt(h0));
    EXPECT_EQ(L(1, 1), std::sqrt(h1));
    EXPECT_NEAR(beta[0], 1.0 / (h0 * (1.0 + 1e-12)), 1e-15 / h0);
    EXPECT_NEAR(beta[1], 3.0 / (h1 * (1.0 + 1e-12)), 3e-15 / h1);
    // Without the ridge the answer would differ by far more than the tolerance.
    EXPECT_GT(std::fabs(beta[1] - 3.0 / h1), 1e-3 * 3.0 * 1e-12 / h1);
  }
}

TEST(CholSolvePenalized, PivotOfRoundingSizeIsSingularAtEveryDiagonalScaling) {
  // Two coefficients that only rounding tells apart (a line held twice) are
  // a singular system however the coefficients are scaled; a system that is
  // well conditioned after scaling is solved whatever its scale.
  for (double d : {1.0, 1e-120, 1e150}) {
    const double e = 1.0 / d;
    Matrix twin(2, 2, std::vector<double>{d * d, 1.0, 1.0, e * e * (1.0 + 4.440892098500626e-16)});
    auto bad = chol_solve_penalized(twin, Vector{1, 1});
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, QueltError::Kind::SingularSystem);
    EXPECT_NE(bad.error().message.find("Cholesky failed: the leading minor of order 2 is positive "
                                       "definite only to rounding"),
              std::string::npos);
    Matrix fine(2, 2, std::vector<double>{d * d, 0.5, 0.5, e * e});
    auto good = chol_solve_penalized(fine, Vector{d, e});
    ASSERT_TRUE(good.ok());
    // H·β = r with r = D·(1, 1): β = D⁻¹·(2/3, 2/3).
    EXPECT_NEAR(good.value().second[0] * d, 2.0 / 3.0, 1e-12);
    EXPECT_NEAR(good.value().second[1] * e, 2.0 / 3.0, 1e-12);
  }
}

TEST(CholSolvePenalized, FailsWhereOnlyTheRidgedCopyWouldFactor) {
  for (double h1 : {0.0, -1e-13}) {
    Matrix H(2, 2, std::vector<double>{1, 0, 0, h1});
    auto res = chol_solve_penalized(H, Vector{1, 1});
    ASSERT_FALSE(res.ok());
    EXPECT_EQ(res.error().kind, QueltError::Kind::SingularSystem);
    EXPECT_EQ(res.error().message.rfind("Cholesky failed: ", 0), 0u);
  }
}

TEST(InverseFromCholesky, SymmetricInverseAndTrace) {
  std::mt19937_64 g(3);
  for (std::size_t n : {1u, 2u, 6u, 30u}) {
    Matrix a = random_spd(n, g);
    Matrix L = cholesky(a).value();
    Matrix R = inverse_from_cholesky(L);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) EXPECT_EQ(R(i, j), R(j, i));
    EXPECT_LT(max_abs_diff(naive_mul(a, R), Matrix::identity(n)), 1e-12);
    // tr(A⁻¹B) for a non-symmetric B, with A⁻¹ from an LU solve.
    Matrix B = random_matrix(n, n, g);
    Matrix ainv = lu_solve(lu_factor(a).value(), Matrix::identity(n)).value();
    double tr = 0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t k = 0; k < n; ++k) tr += ainv(i, k) * B(k, i);
    EXPECT_NEAR(trace_inv_times(L, B), tr, 1e-12);
    if (n > 1) {
      Matrix small(n - 1, n - 1);
      EXPECT_THROW(trace_inv_times(L, small), InvariantViolation);
    }
  }
  EXPECT_EQ(inverse_from_cholesky(Matrix(0, 0)).rows(), 0u);
  EXPECT_EQ(trace_inv_times(Matrix(0, 0), Matrix(0, 0)), 0.0);
  EXPECT_EQ(log_det_from_cholesky(Matrix(0, 0)), 0.0);
  EXPECT_NEAR(inverse_from_cholesky(Matrix(1, 1, 3.0))(0, 0), 1.0 / 9.0, 1e-17);
}

TEST(InverseFromCholesky, RejectsNonContiguousFactor) {
  Matrix big(4, 4, 1.0);
  MatrixView strided{big.data(), 2, 2, 4, 2};
  EXPECT_EQ(invariant_message([&] { inverse_from_cholesky(strided); }),
            "Cholesky factor must be C-contiguous");
  EXPECT_EQ(invariant_message([&] { trace_inv_times(big.view().t(), big); }),
            "Cholesky factor must be C-contiguous");
  // Strides along a dimension of size 1 do not matter.
  MatrixView one{big.data(), 1, 1, 17, 5};
  EXPECT_EQ(inverse_from_cholesky(one)(0, 0), 1.0);
}

TEST(SymEigen, UpperTriangleAscendingColumnEigenvectors) {
  std::mt19937_64 g(4);
  const std::size_t n = 9;
  Matrix s = random_matrix(n, n, g);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < i; ++j) s(i, j) = s(j, i);
  Matrix garbage = s;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < i; ++j) garbage(i, j) = kNaN;
  auto e = sym_eigen(garbage);
  ASSERT_TRUE(e.ok());
  const auto& [vals, vecs] = e.value();
  for (std::size_t i = 1; i < n; ++i) EXPECT_LE(vals[i - 1], vals[i]);
  for (std::size_t i = 0; i < n; ++i) {
    double norm = 0;
    for (std::size_t r = 0; r < n; ++r) {
      double av = 0;
      for (std::size_t k = 0; k < n; ++k) av += s(r, k) * vecs(k, i);
      EXPECT_NEAR(av, vals[i] * vecs(r, i), 1e-12);
      norm += vecs(r, i) * vecs(r, i);
    }
    EXPECT_NEAR(norm, 1.0, 1e-12);
  }
  // diag(3, 1, 2): eigenvector of 1 is e_1, as a column.
  auto d = sym_eigen(Matrix(3, 3, std::vector<double>{3, 0, 0, 0, 1, 0, 0, 0, 2})).value();
  EXPECT_EQ(d.values, (Vector{1, 2, 3}));
  EXPECT_EQ(std::fabs(d.vectors(1, 0)), 1.0);
  EXPECT_EQ(std::fabs(d.vectors(0, 2)), 1.0);
  for (const Matrix& bad : {Matrix(2, 3), Matrix(2, 2, std::vector<double>{1, kNaN, 0, 1})}) {
    auto r = sym_eigen(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, QueltError::Kind::Linalg);
  }
}

TEST(LuSolve, SolvesWithPivotingAndReportsSingular) {
  std::mt19937_64 g(5);
  Matrix a = random_matrix(6, 6, g);
  a(0, 0) = 0.0;  // forces a row interchange
  Matrix b = random_matrix(6, 3, g);
  auto f = lu_factor(a);
  ASSERT_TRUE(f.ok());
  Matrix x = lu_solve(f.value(), b).value();
  EXPECT_LT(max_abs_diff(naive_mul(a, x), b), 1e-12);
  Vector bv = {1, 2, 3, 4, 5, 6};
  Vector xv = lu_solve(f.value(), bv).value();
  for (std::size_t i = 0; i < 6; ++i) {
    double s = 0;
    for (std::size_t k = 0; k < 6; ++k) s += a(i, k) * xv[k];
    EXPECT_NEAR(s, bv[i], 1e-12);
  }
  EXPECT_FALSE(lu_solve(f.value(), Vector{1, 2}).ok());
  auto sing = lu_factor(Matrix(2, 2, std::vector<double>{1, 2, 2, 4}));
  ASSERT_FALSE(sing.ok());
  EXPECT_EQ(sing.error().kind, QueltError::Kind::Linalg);
  EXPECT_FALSE(lu_factor(Matrix(2, 3)).ok());
}

TEST(SLambda, WeightedSumInListOrder) {
  Matrix s1(2, 2, std::vector<double>{1, 2, 3, 4});  // deliberately not symmetric
  Matrix s2(2, 2, std::vector<double>{0, 1, 0, 1});
  EXPECT_EQ(s_lambda({s1}, Vector{0.0, 7.0}), s1);
  Matrix s = s_lambda({s1, s2}, Vector{std::log(2.0), std::log(3.0)});
  EXPECT_NEAR(s(0, 1), 2 * 2.0 + 3 * 1.0, 1e-14);
  EXPECT_NEAR(s(1, 0), 2 * 3.0, 1e-14);
  EXPECT_NEAR(s(1, 1), 2 * 4.0 + 3 * 1.0, 1e-14);
  EXPECT_THROW(s_lambda({}, Vector{}), InvariantViolation);
  EXPECT_THROW(s_lambda({s1, s2}, Vector{0.0}), InvariantViolation);
}

TEST(RowScale, TransposedWeightedRows) {
  Matrix x(3, 2, std::vector<double>{1, 2, 3, 4, 5, 6});
  Matrix t = row_scale(x, Vector{1, -1, 0.5});
  EXPECT_EQ(t, Matrix(2, 3, std::vector<double>{1, -3, 2.5, 2, -4, 3}));
  Matrix e = row_scale(Matrix(0, 4), Vector{});
  EXPECT_EQ(e.rows(), 4u);
  EXPECT_EQ(e.cols(), 0u);
  EXPECT_THROW(row_scale(x, Vector{1, 1}), InvariantViolation);
}

TEST(SmallForms, TracesProductsQuadraticFormAndSymmetrization) {
  std::mt19937_64 g(7);
  const Matrix a = random_matrix(5, 5, g);
  const Matrix s = random_spd(5, g);
  // Σ A_ij S_ij = tr(A·S) for symmetric S.
  const Matrix as = naive_mul(a.view(), s.view());
  double tr = 0.0;
  for (std::size_t i = 0; i < 5; ++i) tr += as(i, i);
  EXPECT_NEAR(frobenius_dot(a, s), tr, 1e-12 * std::fabs(tr) + 1e-12);
  // tr(A·B) for a B that is not symmetric, where Σ A_ij B_ij is not the trace.
  const Matrix b = random_matrix(5, 5, g);
  const Matrix ab = naive_mul(a.view(), b.view());
  double tr_ab = 0.0;
  for (std::size_t i = 0; i < 5; ++i) tr_ab += ab(i, i);
  EXPECT_NEAR(trace_of_product(a, b), tr_ab, 1e-12 * std::fabs(tr_ab) + 1e-12);
  // A·v and aᵀb against the products with a column vector; a longer v or b
  // is read only as far as the matrix is wide or a is long.
  const Vector v{0.5, -1.0, 2.0, 0.25, -3.0, kNaN};
  const Matrix av = naive_mul(a.view(), Matrix(5, 1, Vector(v.begin(), v.begin() + 5)).view());
  const Vector small = small_matvec(a, v);
  ASSERT_EQ(small.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(small[i], av(i, 0), 1e-12);
  EXPECT_EQ(dot(std::span<const double>(v.data(), 5), a.row(0)),
            0.5 * a(0, 0) - a(0, 1) + 2.0 * a(0, 2) + 0.25 * a(0, 3) - 3.0 * a(0, 4));
  EXPECT_THROW(small_matvec(a, std::span<const double>(v.data(), 4)), InvariantViolation);
  EXPECT_THROW(dot(v, std::span<const double>(v.data(), 5)), InvariantViolation);
  // βᵀSβ against the product with a column vector; a shorter β reads only the
  // leading block.
  const Vector beta{0.5, -1.0, 2.0, 0.25, -3.0};
  const Matrix sb = naive_mul(s.view(), Matrix(5, 1, beta).view());
  double q = 0.0;
  for (std::size_t i = 0; i < 5; ++i) q += beta[i] * sb(i, 0);
  EXPECT_NEAR(quadratic_form(s, beta), q, 1e-12 * std::fabs(q));
  EXPECT_DOUBLE_EQ(quadratic_form(s, std::span<const double>(beta.data(), 1)), s(0, 0) * 0.25);
  // The averaged matrix is symmetric to the bit and keeps its diagonal.
  Matrix m = a;
  symmetrize_average(m);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(m(i, i), a(i, i));
    for (std::size_t j = 0; j < 5; ++j) {
      EXPECT_EQ(m(i, j), m(j, i));
      EXPECT_DOUBLE_EQ(m(i, j), 0.5 * (a(i, j) + a(j, i)));
    }
  }
  Matrix rect(2, 3);
  EXPECT_THROW(symmetrize_average(rect), InvariantViolation);
}

// Φ⁻¹(p) by bisection on the complementary error function in long double.
double reference_quantile(double p) {
  const bool upper = p > 0.5;
  const long double target = upper ? 1.0L - (long double)p : (long double)p;
  long double lo = 0, hi = 40;  // search t ≥ 0 with ½·erfc(t/√2) = target
  for (int i = 0; i < 200; ++i) {
    long double mid = 0.5L * (lo + hi);
    if (0.5L * std::erfc(mid / std::sqrt(2.0L)) > target)
      lo = mid;
    else
      hi = mid;
  }
  const double t = (double)(0.5L * (lo + hi));
  return upper ? t : -t;
}

TEST(NormalQuantile, AllThreeRegionsAgainstReference) {
  struct Known {
    double p, z;
  };
  for (Known k : {Known{0.975, 1.959963984540054}, Known{0.01, -2.326347874040841},
                  Known{0.999, 3.090232306167813}, Known{1e-10, -6.361340902404056}}) {
    EXPECT_NEAR(normal_quantile(k.p), k.z, 1.2e-9 * std::fabs(k.z)) << k.p;
  }
  EXPECT_EQ(normal_quantile(0.5), 0.0);
  for (double p : {1e-300, 1e-12, 1e-4, 0.02, 0.02425, 0.0243, 0.1, 0.3, 0.49, 0.51, 0.8, 0.97,
                   0.97575, 0.9758, 0.99, 0.999999, 1.0 - 1e-12}) {
    const double ref = reference_quantile(p);
    EXPECT_NEAR(normal_quantile(p), ref, 1.2e-9 * std::fmax(std::fabs(ref), 1e-3)) << p;
  }
  // The two tails are mirror images.
  EXPECT_NEAR(normal_quantile(0.001), -normal_quantile(0.999), 1e-12);
  struct Bad {
    double p;
    const char* shown;
  };
  for (Bad b : {Bad{0.0, "0"}, Bad{1.0, "1"}, Bad{kNaN, "NaN"}, Bad{-0.5, "-0.5"}}) {
    EXPECT_EQ(invariant_message([&] { normal_quantile(b.p); }),
              std::string("normal_quantile: p must be in (0,1), got ") + b.shown);
  }
}

}  // namespace
}  // namespace quelt

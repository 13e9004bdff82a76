// Fit summaries and the end-to-end drivers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/error.hpp"
#include "core/linalg.hpp"
#include "core/matrix.hpp"
#include "fit/edf_vcov.hpp"

namespace quelt {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A small penalized system: X (n x p, intercept first), weights w, one
// second-difference penalty on columns 1..p−1 (rank p − 3, its null space
// holds constants and lines in those columns).
struct SmallSystem {
  std::size_t n = 60, p = 6;
  Matrix x;
  Vector w;
  Matrix S;
  explicit SmallSystem(unsigned seed) : x(n, p), w(n), S(p, p) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = 1.0;
      for (std::size_t j = 1; j < p; ++j) x(i, j) = z(gen);
      w[i] = u(gen);
    }
    // DᵀD for the second differences of coefficients 1..p−1.
    for (std::size_t r = 1; r + 2 < p; ++r) {
      const double d[3] = {1.0, -2.0, 1.0};
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) S(r + a, r + b) += d[a] * d[b];
    }
  }
  // XᵀWX by plain loops.
  Matrix xtwx() const {
    Matrix a(p, p);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < p; ++k) a(j, k) += x(i, j) * w[i] * x(i, k);
    return a;
  }
  Matrix chol(double rho) const {
    Matrix h = xtwx();
    const double lam = std::exp(rho);
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t k = 0; k < p; ++k) h(j, k) += lam * S(j, k);
    return cholesky(h).value();
  }
};

// tr(A⁻¹B) by Gauss-Jordan elimination of [A | B].
double trace_solve(Matrix A, Matrix B) {
  const std::size_t p = A.rows();
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t piv = c;
    for (std::size_t r = c + 1; r < p; ++r)
      if (std::fabs(A(r, c)) > std::fabs(A(piv, c))) piv = r;
    for (std::size_t k = 0; k < p; ++k)
      std::swap(A(c, k), A(piv, k)), std::swap(B(c, k), B(piv, k));
    for (std::size_t r = 0; r < p; ++r) {
      if (r == c) continue;
      const double f = A(r, c) / A(c, c);
      for (std::size_t k = 0; k < p; ++k) A(r, k) -= f * A(c, k), B(r, k) -= f * B(c, k);
    }
  }
  double t = 0.0;
  for (std::size_t c = 0; c < p; ++c) t += B(c, c) / A(c, c);
  return t;
}

TEST(EdfVcov, EffectiveDegreesOfFreedom) {
  const SmallSystem s(7);
  const std::vector<Matrix> pens = {s.S};
  for (double rho : {-6.0, 0.0, 3.0}) {
    const Matrix L = s.chol(rho);
    const double total = compute_edf_total(s.x.view(), s.w, L);
    Matrix h = s.xtwx();
    for (std::size_t j = 0; j < s.p; ++j)
      for (std::size_t k = 0; k < s.p; ++k) h(j, k) += std::exp(rho) * s.S(j, k);
    EXPECT_NEAR(total, trace_solve(h, s.xtwx()), 1e-10) << rho;
    const Vector per = compute_edf_per_term(pens, Vector{rho}, s.p, L);
    ASSERT_EQ(per.size(), 1u);
    // The penalty touches every column but the intercept.
    EXPECT_NEAR(total - per[0], 1.0, 1e-10) << rho;
  }
  // Limits: λ → 0 leaves all p columns free, λ → ∞ only the intercept and
  // the penalty's null space (p − rank = 3).
  EXPECT_NEAR(compute_edf_total(s.x.view(), s.w, s.chol(-30.0)), 6.0, 1e-6);
  EXPECT_NEAR(compute_edf_total(s.x.view(), s.w, s.chol(30.0)), 3.0, 1e-3);

  // Rows of the penalty holding only zeros are not counted: a diagonal
  // penalty on columns 2 and 4 at a negligible λ leaves edf ≈ 2.
  Matrix d(s.p, s.p);
  d(2, 2) = 1.0, d(4, 4) = 1.0, d(2, 4) = -0.0;
  const Vector per = compute_edf_per_term({d}, Vector{-700.0}, s.p, s.chol(0.0));
  EXPECT_NEAR(per[0], 2.0, 1e-12);
  // No penalties: an empty array.
  EXPECT_TRUE(compute_edf_per_term({}, Vector{}, s.p, s.chol(0.0)).empty());
}

TEST(EdfVcov, CovarianceScaling) {
  // H = [[4, 2], [2, 3]], H⁻¹ = [[3, −2], [−2, 4]] / 8.
  Matrix h(2, 2);
  h(0, 0) = 4.0, h(0, 1) = h(1, 0) = 2.0, h(1, 1) = 3.0;
  const Matrix L = cholesky(h).value();
  const double inv[2][2] = {{3.0 / 8, -2.0 / 8}, {-2.0 / 8, 4.0 / 8}};
  const Matrix unit = compute_vcov(L, 1.0);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_NEAR(unit(i, j), inv[i][j], 1e-15);
  EXPECT_EQ(unit, inverse_from_cholesky(L.view()));  // bit for bit

  struct Case {
    double scale;
    double factor;  // expected multiple of H⁻¹; NaN means every entry NaN
  };
  const double above_one = std::nextafter(1.0, 2.0);
  for (const Case& c :
       std::vector<Case>{{2.5, 2.5}, {0.0, 0.0}, {above_one, above_one}, {kNaN, kNaN}}) {
    const Matrix v = compute_vcov(L, c.scale);
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) {
        if (std::isnan(c.factor))
          EXPECT_TRUE(std::isnan(v(i, j))) << "no residual df must not look like scale 1";
        else
          EXPECT_EQ(v(i, j), unit(i, j) * c.factor) << c.scale;
      }
  }
  const Vector e = exp_array(Vector{0.0, -1.0, 2.0});
  EXPECT_DOUBLE_EQ(e[1], 1.0 / M_E);
  EXPECT_DOUBLE_EQ(e[2], M_E * M_E);
}

}  // namespace
}  // namespace quelt

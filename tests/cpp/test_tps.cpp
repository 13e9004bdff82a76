#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/tps.hpp"
#include "test_data.hpp"

namespace quelt {
namespace {

Matrix covariates(std::size_t n, std::size_t d, unsigned seed = 3) {
  return testing::uniform_covariates(n, d, seed, -1.0, 2.0);
}

// The kernel written out from its definition, per dimension.
double kernel_direct(double r, std::size_t d) {
  if (r < 1e-12) return 0.0;
  if (d == 2) return r * r * std::log(r) / (8.0 * std::numbers::pi);
  if (d == 3) return -r / 8.0;
  return std::log(r);
}

double distance(const Matrix& x, std::size_t i, const std::vector<std::size_t>& cols,
                const Matrix& c, std::size_t l) {
  double s = 0;
  for (std::size_t t = 0; t < cols.size(); ++t) {
    const double diff = x(i, cols[t]) - c(l, t);
    s += diff * diff;
  }
  return std::sqrt(s);
}

// The largest distance between two centres, by brute force.
double diameter(const Matrix& c) {
  std::vector<std::size_t> own(c.cols());
  for (std::size_t j = 0; j < own.size(); ++j) own[j] = j;
  double top = 0;
  for (std::size_t i = 0; i < c.rows(); ++i)
    for (std::size_t l = 0; l < c.rows(); ++l) top = std::fmax(top, distance(c, i, own, c, l));
  return top;
}

TEST(TpsKernel, ValuesPerDimension) {
  struct Case {
    double r;
    std::size_t d;
    double expected;
  };
  const double e = std::numbers::e;
  const Case cases[] = {
      {2.0, 2, 4.0 * std::log(2.0) / (8.0 * std::numbers::pi)},
      {1.0, 2, 0.0},
      {0.5, 3, -0.0625},
      {e, 4, 1.0},
      {e * e, 7, 2.0},
      {2.0, 1, 8.0 / 12.0},
      {9e-13, 2, 0.0},  // below 1e-12: zero, not r²·ln r
      {9e-13, 4, 0.0},  // and not ln r → -27.7
  };
  for (const Case& c : cases) EXPECT_NEAR(tps_kernel(c.r, c.d), c.expected, 1e-15) << c.d;
  EXPECT_EQ(max_abs(std::vector<double>{}), 0.0);
  EXPECT_EQ(max_abs(std::vector<double>{-3.0, std::numeric_limits<double>::quiet_NaN(), 2.0}), 3.0);
}

TEST(TpsTerm, KernelBasisAndPenaltyAgainstDirectEvaluation) {
  for (std::size_t d : {2u, 3u, 4u}) {
    const Matrix x = covariates(40, 5, 10 + d);
    std::vector<std::size_t> cols = {4, 1, 3, 0};
    cols.resize(d);
    const std::size_t k = 12;
    auto r = build_tps_term(x.view(), cols, k);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const TpsTerm& t = r.value();
    const Matrix& c = t.predictor.centres;
    const Matrix& v = t.predictor.transform;
    ASSERT_EQ(c.rows(), k);
    ASSERT_EQ(c.cols(), d);
    ASSERT_EQ(t.basis.rows(), 40u);
    ASSERT_EQ(t.basis.cols(), k);
    EXPECT_EQ(t.predictor.cols, cols);
    // Distances in units of the largest distance between two centres.
    const double len = diameter(c);
    EXPECT_NEAR(t.predictor.length, len, 1e-15 * len);

    // Kernel among the centres, evaluated directly.
    Matrix kcc(k, k);
    std::vector<std::size_t> own(d);
    for (std::size_t j = 0; j < d; ++j) own[j] = j;
    for (std::size_t i = 0; i < k; ++i)
      for (std::size_t l = 0; l < k; ++l)
        kcc(i, l) = kernel_direct(distance(c, i, own, c, l) / len, d);
    // V orthogonal and Vᵀ·K·V diagonal with |entries| non-increasing; the
    // penalty is |diag| / max |diag| floored at 1e-4.
    double top = 0;
    std::vector<double> diag(k);
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b < k; ++b) {
        double vtv = 0, vkv = 0;
        for (std::size_t i = 0; i < k; ++i) {
          vtv += v(i, a) * v(i, b);
          for (std::size_t l = 0; l < k; ++l) vkv += v(i, a) * kcc(i, l) * v(l, b);
        }
        EXPECT_NEAR(vtv, a == b ? 1.0 : 0.0, 1e-12);
        if (a == b) {
          diag[a] = vkv;
        } else {
          EXPECT_NEAR(vkv, 0.0, 1e-10);
        }
      }
      top = std::fmax(top, std::fabs(diag[a]));
    }
    for (std::size_t s = 0; s < k; ++s) {
      if (s > 0) {
        EXPECT_GE(std::fabs(diag[s - 1]), std::fabs(diag[s]) - 1e-12);
      }
      EXPECT_NEAR(t.penalty(s, s), std::fmax(std::fabs(diag[s]) / top, 1e-4), 1e-10) << s;
      for (std::size_t u = 0; u < k; ++u) {
        if (u != s) {
          EXPECT_EQ(t.penalty(s, u), 0.0);
        }
      }
    }
    EXPECT_EQ(t.penalty(0, 0), 1.0);
    // Basis = E·V with E the kernel of the data rows against the centres.
    for (std::size_t i = 0; i < 40; ++i)
      for (std::size_t s = 0; s < k; ++s) {
        double b = 0;
        for (std::size_t l = 0; l < k; ++l)
          b += kernel_direct(distance(x, i, cols, c, l) / len, d) * v(l, s);
        EXPECT_NEAR(t.basis(i, s), b, 1e-12);
      }
  }
}

TEST(TpsTerm, CentresAreEvenlySpacedRowsInStorageOrder) {
  struct Case {
    std::size_t n, k;
    std::vector<std::size_t> rows;
  };
  const Case cases[] = {
      {10, 4, {0, 3, 6, 9}},
      {7, 5, {0, 2, 3, 5, 6}},  // 1.5 and 4.5 round away from zero
      {6, 6, {0, 1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    const Matrix x = covariates(c.n, 3, 5);
    const std::vector<std::size_t> cols = {2, 0};
    auto r = build_tps_term(x.view(), cols, c.k);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const Matrix& centres = r.value().predictor.centres;
    ASSERT_EQ(centres.rows(), c.rows.size());
    for (std::size_t i = 0; i < c.rows.size(); ++i) {
      EXPECT_EQ(centres(i, 0), x(c.rows[i], 2)) << c.n << " " << i;
      EXPECT_EQ(centres(i, 1), x(c.rows[i], 0)) << c.n << " " << i;
    }
  }
}

TEST(TpsTerm, CoincidentCentresGiveTheFloorWeight) {
  Matrix x(8, 2, 0.75);
  const std::vector<std::size_t> cols = {0, 1};
  auto r = build_tps_term(x.view(), cols, 4);
  ASSERT_TRUE(r.ok()) << r.error().message;
  for (std::size_t s = 0; s < 4; ++s) EXPECT_EQ(r.value().penalty(s, s), 1e-4);
  EXPECT_EQ(r.value().predictor.length, 1.0);  // no distance to measure in
}

// Coordinates in other units give the same term: the same basis and penalty,
// centres and length in the new units. A power-of-two factor changes no bit;
// others only by rounding, down to units whose squares would underflow and
// up to units whose squares would overflow.
TEST(TpsTerm, BasisIsTheSameInAnyUnitsOfTheCoordinates) {
  const Matrix x = covariates(50, 3, 21);
  const std::vector<std::size_t> cols = {0, 2};
  auto base = build_tps_term(x.view(), cols, 14);
  ASSERT_TRUE(base.ok());
  const TpsTerm& b = base.value();
  for (double s : {0x1p-40, 0x1p30, 1e-200, 1e-6, 0.01, 100.0, 1e6, 1e200}) {
    Matrix xs = x;
    for (double& v : xs.storage()) v *= s;
    auto r = build_tps_term(xs.view(), cols, 14);
    ASSERT_TRUE(r.ok()) << s << ": " << r.error().message;
    const TpsTerm& t = r.value();
    int expo = 0;
    const bool exact = std::frexp(s, &expo) == 0.5;
    const double tol = exact ? 0.0 : 1e-9;
    EXPECT_NEAR(t.predictor.length, s * b.predictor.length, 1e-14 * s * b.predictor.length) << s;
    for (std::size_t i = 0; i < 14; ++i) EXPECT_NEAR(t.penalty(i, i), b.penalty(i, i), tol) << s;
    double top = max_abs(b.basis.storage()), err = 0;
    for (std::size_t i = 0; i < b.basis.size(); ++i)
      err = std::fmax(err, std::fabs(t.basis.storage()[i] - b.basis.storage()[i]));
    EXPECT_LE(err, tol * top) << s;
    // The predictor rebuilds the basis on the scaled coordinates.
    auto e = evaluate_tps_predictor(t.predictor, xs.view());
    ASSERT_TRUE(e.ok());
    for (std::size_t i = 0; i < 50; ++i)
      for (std::size_t j = 0; j < 14; ++j) ASSERT_EQ(e.value()(i, j + 1), t.basis(i, j));
  }
}

TEST(TpsTerm, SpecificationErrorsInOrder) {
  Matrix x = covariates(10, 3);
  struct Case {
    std::vector<std::size_t> cols;
    std::size_t k;
    std::string message;  // empty: accepted
  };
  const Case cases[] = {
      {{1}, 10, "tps term needs at least 2 input dims (got 1)"},
      {{1, 0, 1}, 2, "tps term must have distinct cols (cols[0] == cols[2] == 1)"},
      {{0, 3}, 2, "tps term reads column 3 but x has only 3 columns"},
      {{0, 1}, 3, "tps term needs k > d+1 (got k=3, d=2)"},
      {{0, 1}, 4, ""},
      {{0, 1, 2}, 11, "tps term k=11 cannot exceed n=10"},
      {{0, 1, 2}, 10, ""},
  };
  for (const Case& c : cases) {
    auto r = build_tps_term(x.view(), c.cols, c.k);
    if (c.message.empty()) {
      EXPECT_TRUE(r.ok()) << r.error().message;
    } else {
      ASSERT_FALSE(r.ok()) << c.message;
      EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
      EXPECT_EQ(r.error().message, c.message);
    }
  }
  x(4, 2) = std::numeric_limits<double>::quiet_NaN();
  auto bad = build_tps_term(x.view(), std::vector<std::size_t>{0, 2}, 5);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, QueltError::Kind::InvalidParameter);
  EXPECT_NE(bad.error().message.find("4"), std::string::npos) << bad.error().message;
}

TEST(TpsPredictor, ReproducesTheBasisAndRejectsBadInput) {
  const Matrix x = covariates(30, 3, 8);
  const std::vector<std::size_t> cols = {2, 0};
  auto r = build_tps_term(x.view(), cols, 9);
  ASSERT_TRUE(r.ok());
  auto e = evaluate_tps_predictor(r.value().predictor, x.view());
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(e.value().cols(), 10u);
  for (std::size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(e.value()(i, 0), 1.0);
    for (std::size_t s = 0; s < 9; ++s) ASSERT_EQ(e.value()(i, s + 1), r.value().basis(i, s));
  }
  const Matrix narrow = covariates(3, 2);
  auto n1 = evaluate_tps_predictor(r.value().predictor, narrow.view());
  ASSERT_FALSE(n1.ok());
  EXPECT_EQ(n1.error().message, "TpsPredictor: term reads column 2 but x has only 2 columns");

  TpsPredictor damaged = r.value().predictor;
  damaged.transform = Matrix(8, 9);
  auto d1 = evaluate_tps_predictor(damaged, x.view());
  ASSERT_FALSE(d1.ok());
  EXPECT_EQ(d1.error().kind, QueltError::Kind::InvalidParameter);
  damaged = r.value().predictor;
  damaged.centres = Matrix(9, 1);
  auto d2 = evaluate_tps_predictor(damaged, x.view());
  ASSERT_FALSE(d2.ok());
  EXPECT_EQ(d2.error().kind, QueltError::Kind::InvalidParameter);
}

}  // namespace
}  // namespace quelt

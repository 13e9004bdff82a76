#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "basis/cr.hpp"
#include "core/error.hpp"
#include "core/lapack.hpp"
#include "core/matrix.hpp"
#include "transform/constraint.hpp"

namespace quelt {
namespace {

const Vector kKnots = {0.0, 0.3, 1.1, 1.5, 2.7, 4.0};  // uneven spacing

Matrix column_of(const Vector& v) { return Matrix(v.size(), 1, v); }

// Row of the basis at one point.
Vector basis_at(const Vector& knots, double x) {
  Matrix b = cr_basis(knots, column_of({x}).view());
  return Vector(b.row_ptr(0), b.row_ptr(0) + b.cols());
}

double curve(const Vector& knots, const Vector& beta, double x) {
  Vector row = basis_at(knots, x);
  double s = 0.0;
  for (std::size_t j = 0; j < row.size(); ++j) s += row[j] * beta[j];
  return s;
}

std::string error_message(const QueltError& e) { return e.message; }

TEST(CrBasis, InterpolatesTheKnotValuesAndPartitionsUnity) {
  const std::size_t k = kKnots.size();
  for (std::size_t m = 0; m < k; ++m) {
    Vector row = basis_at(kKnots, kKnots[m]);
    for (std::size_t j = 0; j < k; ++j) {
      EXPECT_NEAR(row[j], j == m ? 1.0 : 0.0, 1e-14) << "knot " << m << " column " << j;
    }
  }
  // Rows sum to one inside and outside the knot range.
  for (double x : {-3.0, -0.01, 0.05, 0.7, 1.5, 2.0, 3.99, 4.2, 11.0}) {
    Vector row = basis_at(kKnots, x);
    double s = 0.0;
    for (double v : row) s += v;
    EXPECT_NEAR(s, 1.0, 1e-13) << "x = " << x;
  }
}

TEST(CrBasis, IsANaturalCubicSplineContinuedLinearly) {
  const std::size_t k = kKnots.size();
  const double d = 1e-3;
  for (std::size_t j = 0; j < k; ++j) {
    Vector beta(k, 0.0);
    beta[j] = 1.0;
    auto f = [&](double x) { return curve(kKnots, beta, x); };
    // One-sided second derivatives at each knot from four points inside one
    // cubic piece (exact for cubics): they agree at interior knots and
    // vanish at the end knots.
    auto f2 = [&](double t, double dir) {
      return (2.0 * f(t) - 5.0 * f(t + dir * d) + 4.0 * f(t + 2.0 * dir * d) -
              f(t + 3.0 * dir * d)) /
             (d * d);
    };
    for (std::size_t m = 0; m < k; ++m) {
      const double t = kKnots[m];
      if (m > 0) {
        const double left = f2(t, -1.0);
        if (m + 1 < k) {
          EXPECT_NEAR(left, f2(t, 1.0), 1e-5 * (1.0 + std::fabs(left)))
              << "column " << j << " knot " << m;
        } else {
          EXPECT_NEAR(left, 0.0, 1e-5) << "column " << j;
        }
      } else {
        EXPECT_NEAR(f2(t, 1.0), 0.0, 1e-5) << "column " << j;
      }
    }
    // Beyond the ends: exact straight lines whose slopes match the spline's
    // end slopes (C¹ join).
    for (double t : {kKnots.front(), kKnots.back()}) {
      const double dir = t == kKnots.front() ? -1.0 : 1.0;
      const double a = f(t + dir * 1.0), b = f(t + dir * 2.0), c = f(t + dir * 3.0);
      EXPECT_NEAR(a - 2.0 * b + c, 0.0, 1e-13) << "column " << j;
      const double outside_slope = (b - a) * dir;
      const double inside_slope = (f(t) - f(t - dir * d)) / d * dir;
      EXPECT_NEAR(outside_slope, inside_slope, 1e-2) << "column " << j;
      EXPECT_NEAR(f(t + dir * 1e-9), f(t), 1e-8);
    }
  }
}

TEST(CrBasis, NaNAndEmptyInputDoNotBreakEvaluation) {
  Matrix b = cr_basis(kKnots, column_of({std::nan("")}).view());
  for (std::size_t j = 0; j < b.cols(); ++j) EXPECT_TRUE(std::isnan(b(0, j)));
  Matrix e = cr_basis(kKnots, Matrix(0, 1).view());
  EXPECT_EQ(e.rows(), 0u);
  EXPECT_EQ(e.cols(), kKnots.size());
}

// βᵀSβ = ∫ f''(x)² dx over [t_0, t_{k-1}] for f = Bβ. f is cubic on each
// segment, so a central second difference there is exact up to rounding and
// 3-point Gauss-Legendre integrates f''² exactly.
TEST(CrPenalty, EqualsIntegratedSquaredSecondDerivative) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> nd;
  for (const Vector& knots : {kKnots, Vector{-1.0, 0.5, 2.0}, Vector{0.0, 1.0, 2.0, 3.0, 4.0}}) {
    const std::size_t k = knots.size();
    const Matrix s = cr_penalty(knots).at(0);
    ASSERT_EQ(s.rows(), k);
    ASSERT_EQ(s.cols(), k);
    for (int rep = 0; rep < 3; ++rep) {
      Vector beta(k);
      for (double& v : beta) v = nd(rng);
      double quad = 0.0;
      for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < k; ++j) quad += beta[i] * s(i, j) * beta[j];
      double integral = 0.0;
      const double gx[3] = {-std::sqrt(0.6), 0.0, std::sqrt(0.6)};
      const double gw[3] = {5.0 / 9.0, 8.0 / 9.0, 5.0 / 9.0};
      for (std::size_t seg = 0; seg + 1 < k; ++seg) {
        const double a = knots[seg], b = knots[seg + 1];
        const double half = 0.5 * (b - a), mid = 0.5 * (a + b);
        const double d = 1e-3 * (b - a);
        for (int g = 0; g < 3; ++g) {
          const double x = mid + half * gx[g];
          const double f2 = (curve(knots, beta, x + d) - 2.0 * curve(knots, beta, x) +
                             curve(knots, beta, x - d)) /
                            (d * d);
          integral += half * gw[g] * f2 * f2;
        }
      }
      EXPECT_NEAR(quad, integral, 1e-6 * (1.0 + integral)) << "k = " << k;
    }
  }
}

TEST(CrPenalty, AnnihilatesLinesAndHasRankKMinusTwo) {
  for (const Vector& knots : {kKnots, Vector{-1.0, 0.5, 2.0}}) {
    const std::size_t k = knots.size();
    const Matrix s = cr_penalty(knots).at(0);
    for (std::size_t i = 0; i < k; ++i) {
      double s1 = 0.0, st = 0.0;
      for (std::size_t j = 0; j < k; ++j) {
        s1 += s(i, j);
        st += s(i, j) * knots[j];
        EXPECT_NEAR(s(i, j), s(j, i), 1e-12);
      }
      EXPECT_NEAR(s1, 0.0, 1e-11);
      EXPECT_NEAR(st, 0.0, 1e-11);
    }
    auto eig = sym_eigen(s);
    ASSERT_TRUE(eig.ok());
    const Vector& ev = eig.value().values;
    const double top = ev.back();
    std::size_t rank = 0;
    for (double e : ev) {
      EXPECT_GT(e, -1e-12 * top);
      if (e > 1e-10 * top) ++rank;
    }
    EXPECT_EQ(rank, k - 2);
  }
}

TEST(CrKnots, Placement) {
  auto place = [](const Vector& v, std::size_t k) {
    return place_cr_knots(column_of(v).view(), k);
  };
  // Exactly k distinct values (with repeats, unsorted): the values themselves.
  {
    auto r = place({3.0, 1.0, 2.0, 1.0, 5.0, 3.0}, 4);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), (Vector{1.0, 2.0, 3.0, 5.0}));
  }
  // More distinct values: interpolated quantiles, ends exactly min and max.
  {
    Vector v;
    for (int i = 0; i < 101; ++i) v.push_back(std::pow(0.37 * i, 1.5) - 4.0);
    auto r = place(v, 5);
    ASSERT_TRUE(r.ok());
    const Vector& t = r.value();
    EXPECT_EQ(t.front(), v.front());
    EXPECT_EQ(t.back(), v.back());
    EXPECT_EQ(t[2], v[50]);
    const double q1 = std::pow(0.37 * 25, 1.5) - 4.0;
    EXPECT_NEAR(t[1], q1, 1e-12);
  }
  // 23 distinct values: every knot is its value (up to the rounding of the
  // quantile position).
  {
    Vector v;
    for (int i = 0; i < 23; ++i) v.push_back(0.5 + i * i);
    auto r = place(v, 23);
    ASSERT_TRUE(r.ok());
    for (int i = 0; i < 23; ++i) EXPECT_NEAR(r.value()[i], v[i], 1e-12 * (1 + v[i]));
  }
  // Merging compares with the last kept value, within 1e-12 of the range:
  // 0.6e-12 joins 0, 1.2e-12 is kept; in other units the same happens.
  for (double c : {1.0, 1e-200, 1e200}) {
    const Vector u = distinct_cr_values(column_of({c, 1.2e-12 * c, 0.0, 0.6e-12 * c}).view());
    EXPECT_EQ(u, (Vector{0.0, 1.2e-12 * c, c})) << c;
  }
  // Fewer distinct values than knots: an even grid over the range.
  {
    auto r = place({2.0, 4.0, 2.0}, 5);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), (Vector{2.0, 2.5, 3.0, 3.5, 4.0}));
  }
  // Empty column: even grid on [0, 1].
  {
    auto r = place({}, 3);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), (Vector{0.0, 0.5, 1.0}));
  }
  // A strided view reads its first column only.
  {
    Matrix x(4, 2, Vector{4.0, -9.0, 1.0, -9.0, 3.0, -9.0, 2.0, -9.0});
    auto r = place_cr_knots(x.view(), 4);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), (Vector{1.0, 2.0, 3.0, 4.0}));
  }
}

// The basis is a function of x relative to the knots: for knots and
// covariates in other units (c·t, c·x, c > 0) the knots follow, the basis is
// the same and the penalty in range units is the same, from subnormal to
// near-overflow magnitudes, with every entry finite.
TEST(CrBasis, IsInvariantToTheUnitsOfX) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> ud(-1.0, 2.0);
  Vector x(60);
  for (double& v : x) v = ud(rng);
  x[7] = x[8];  // a tie
  const Matrix xm = column_of(x);
  const Vector knots = place_cr_knots(xm.view(), 8).value();
  const Matrix b = cr_basis(knots, xm.view());
  const Matrix s = cr_penalty_range_units(knots);
  double s_top = 0.0;
  for (double v : s.storage()) s_top = std::fmax(s_top, std::fabs(v));
  for (double c : {std::ldexp(1.0, -1060), 1e-300, 1e-12, 1e6, 1e104, 1e300, 5e307}) {
    Vector xc = x;
    for (double& v : xc) v *= c;
    const Matrix xcm = column_of(xc);
    auto kc = place_cr_knots(xcm.view(), 8);
    ASSERT_TRUE(kc.ok()) << c;
    // Subnormal values carry 14 bits here.
    const double tol = c < 1e-300 ? 1e-4 : 1e-14;
    for (std::size_t i = 0; i < knots.size(); ++i)
      EXPECT_NEAR(kc.value()[i] / c, knots[i], tol * 4.0) << c;
    const Matrix bc = cr_basis(kc.value(), xcm.view());
    for (std::size_t i = 0; i < b.size(); ++i) {
      ASSERT_TRUE(std::isfinite(bc.data()[i])) << c;
      EXPECT_NEAR(bc.data()[i], b.data()[i], 1e2 * tol) << c;
    }
    const Matrix sc = cr_penalty_range_units(kc.value());
    for (std::size_t i = 0; i < s.size(); ++i)
      EXPECT_NEAR(sc.data()[i], s.data()[i], 1e3 * tol * s_top) << c;
  }
}

TEST(CrKnots, Errors) {
  const std::string too_few = "CR spline needs k ≥ 3 (got ";
  const std::string increasing = "CR spline knots must be strictly increasing";
  struct Case {
    Vector column;
    std::size_t k;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{1.0, 2.0, 3.0}, 2, too_few + "2)"},
      {{1.0, 2.0, 3.0}, 0, too_few + "0)"},
      {{}, 1, too_few + "1)"},
      {{5.0, 5.0, 5.0}, 3, increasing},  // one distinct value
      {{1.0, 2.0},
       std::numeric_limits<std::size_t>::max(),
       "CR spline k = 18446744073709551615 is too large"},
  };
  for (const Case& c : cases) {
    auto r = place_cr_knots(column_of(c.column).view(), c.k);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(error_message(r.error()), c.message);
  }
  const double nan = std::nan("");
  for (const Vector& t : {Vector{0.0, 1.0, 1.0}, Vector{0.0, 2.0, 1.0}, Vector{0.0, nan, 1.0},
                          Vector{nan, 0.0, 1.0}}) {
    auto r = validate_cr_knots(t);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(error_message(r.error()), increasing);
  }
  EXPECT_EQ(error_message(validate_cr_knots({2.0, 1.0}).error()), too_few + "2)");
  // NaN in the column is sorted without undefined behaviour.
  auto r = place_cr_knots(column_of({nan, 1.0, 0.0, 2.0, nan}).view(), 3);
  (void)r;
}

TEST(ConstraintNullSpace, OrthonormalBasisOfTheNullSpace) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> nd;
  std::vector<Vector> cs = {
      {5.0, 1.0, 2.0, 0.5}, {-3.0, 1.0, 4.0}, {0.0, 2.0, 1.0, 1.0, -1.0}, {1.0, 1.0}};
  Vector random(8);
  for (double& v : random) v = nd(rng);
  cs.push_back(random);
  for (const Vector& c : cs) {
    const std::size_t k = c.size();
    const Matrix z = constraint_null_space(c);
    ASSERT_EQ(z.rows(), k);
    ASSERT_EQ(z.cols(), k - 1);
    for (std::size_t a = 0; a + 1 < k; ++a) {
      double cz = 0.0;
      for (std::size_t r = 0; r < k; ++r) cz += c[r] * z(r, a);
      EXPECT_NEAR(cz, 0.0, 1e-14 * 10.0);
      for (std::size_t b = 0; b + 1 < k; ++b) {
        double dot = 0.0;
        for (std::size_t r = 0; r < k; ++r) dot += z(r, a) * z(r, b);
        EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-14);
      }
    }
  }
}

TEST(ConstraintNullSpace, SpecialVectors) {
  // Negligible c: [I; 0].
  for (const Vector& c : {Vector{0.0, 0.0, 0.0}, Vector{1e-17, -1e-17, 0.0}}) {
    const Matrix z = constraint_null_space(c);
    EXPECT_EQ(z, Matrix(3, 2, Vector{1.0, 0.0, 0.0, 1.0, 0.0, 0.0}));
  }
  // c = e_0: the null space is spanned by e_1..e_{k-1}; the first row is zero.
  {
    const Matrix z = constraint_null_space(Vector{1.0, 0.0, 0.0, 0.0});
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(z(0, j), 0.0);
  }
  // The reflection's sign follows c_0, and c_0 = 0 or -0 reflects with +‖c‖:
  // u = (5, 3, 4), so Z(0, 0) = -(2/50)·5·3.
  for (double c0 : {0.0, -0.0}) {
    const Matrix z = constraint_null_space(Vector{c0, 3.0, 4.0});
    EXPECT_NEAR(z(0, 0), -0.6, 1e-15);
  }
  {
    const Matrix z = constraint_null_space(Vector{-1e-300, 3.0, 4.0});
    EXPECT_NEAR(z(0, 0), 0.6, 1e-15);
  }
  // k = 1: no free direction.
  const Matrix z1 = constraint_null_space(Vector{2.0});
  EXPECT_EQ(z1.rows(), 1u);
  EXPECT_EQ(z1.cols(), 0u);
}

TEST(ConstraintNullSpace, ColumnSums) {
  Matrix a(3, 2, Vector{1.0, 2.0, 3.0, 4.0, 5.0, 6.5});
  EXPECT_EQ(column_sums(a.view()), (Vector{9.0, 12.5}));
  EXPECT_EQ(column_sums(Matrix(0, 3).view()), (Vector{0.0, 0.0, 0.0}));
}

TEST(CrPenaltyScale, RatioOfInfinityNorms) {
  Matrix b(2, 2, Vector{1.0, -3.0, 0.5, 0.5});   // ‖B‖∞ = 4
  Matrix s(2, 2, Vector{2.0, -6.0, -1.0, 1.0});  // ‖S‖∞ = 8
  EXPECT_EQ(max_abs_row_sum(b.view()), 4.0);
  EXPECT_EQ(penalty_scale_to_basis(b.view(), s.view()), 2.0);
  EXPECT_EQ(penalty_scale_to_basis(b.view(), Matrix(2, 2).view()), 1.0);
  EXPECT_EQ(penalty_scale_to_basis(b.view(), Matrix(0, 0).view()), 1.0);
  EXPECT_EQ(penalty_scale_to_basis(Matrix(0, 2).view(), s.view()), 0.0);
}

}  // namespace
}  // namespace quelt

namespace quelt {
namespace {

// The radix path of the knot sort gives exactly the stable comparison sort:
// numbers ascending, NaN last, equal numbers (+0.0, -0.0, repeated values)
// and NaN in input order; checked bit for bit on inputs of several kinds.
TEST(CrKnots, SortMatchesTheStableComparisonSortBitForBit) {
  std::mt19937_64 g(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> pick(0, 9);
  const double nan_a = std::nan("1"), nan_b = -std::nan("2");
  for (std::size_t n : {10u, 5000u, 70000u}) {
    Vector v(n);
    for (double& x : v) {
      switch (pick(g)) {
        case 0:
          x = 0.0;
          break;
        case 1:
          x = -0.0;
          break;
        case 2:
          x = nan_a;
          break;
        case 3:
          x = nan_b;
          break;
        case 4:
          x = std::floor(8.0 * u(g));
          break;
        case 5:
          x = u(g) * 1e-310;
          break;
        case 6:
          x = u(g) > 0 ? std::numeric_limits<double>::infinity() : -1e300;
          break;
        default:
          x = u(g) * 1e3;
      }
    }
    Vector want = v;
    std::stable_sort(want.begin(), want.end(), [](double a, double b) {
      if (std::isnan(a)) return false;
      if (std::isnan(b)) return true;
      return a < b;
    });
    Vector got = v;
    sort_nan_last(got);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(std::memcmp(got.data(), want.data(), n * sizeof(double)), 0) << n;
  }
  // All equal, and already sorted: unchanged.
  Vector same(6000, 2.5);
  sort_nan_last(same);
  for (double x : same) EXPECT_EQ(x, 2.5);
}

}  // namespace
}  // namespace quelt

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "basis/cr.hpp"
#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/cr.hpp"
#include "design/model_design.hpp"
#include "design/predictor.hpp"
#include "design/re.hpp"
#include "transform/constraint.hpp"
#include "transform/stable_reparam.hpp"

namespace quelt {
namespace {

// n x 3 covariates: column 0 a skewed covariate, the others noise that the
// single-smooth designs must ignore.
Matrix covariates(std::size_t n, unsigned seed = 11) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ud(0.0, 1.0);
  Matrix x(n, 3);
  for (std::size_t i = 0; i < n; ++i) {
    const double u = ud(rng);
    x(i, 0) = 3.0 * u * u - 1.0;
    x(i, 1) = ud(rng);
    x(i, 2) = -ud(rng);
  }
  return x;
}

// Q·diag(ev)·Qᵀ with Q a Householder reflector, so the spectrum is known.
Matrix with_spectrum(const Vector& ev) {
  const std::size_t p = ev.size();
  Vector v(p);
  for (std::size_t i = 0; i < p; ++i) v[i] = 1.0 + 0.37 * static_cast<double>(i * i % 5);
  double vv = 0.0;
  for (double a : v) vv += a * a;
  Matrix q(p, p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) q(i, j) = (i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / vv;
  Matrix s(p, p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t l = 0; l < p; ++l) s(i, j) += q(i, l) * ev[l] * q(j, l);
  return s;
}

Matrix diag(const Vector& d) {
  Matrix m(d.size(), d.size());
  for (std::size_t i = 0; i < d.size(); ++i) m(i, i) = d[i];
  return m;
}

TEST(PenaltyLogPdet, RankAndLogOfPositiveEigenvalues) {
  struct Case {
    Vector spectrum;
    std::size_t rank;
    double log_pdet;
  };
  const std::vector<Case> cases = {
      {{0.0, 0.0, 0.0}, 0, 0.0},
      {{0.0, 4.0}, 1, std::log(4.0)},
      {{0.0, 1.0, 1.0, 1.0}, 3, 0.0},
      {{1e-11, 2e-10, 1.0}, 2, std::log(2e-10)},    // tol = 1e-10 relative to 1
      {{0.8e-10, 0.5, 0.25}, 2, std::log(0.125)},   // tol stays 1e-10 below 1
      {{3e-9, 1e2, 7.0, 0.0}, 2, std::log(700.0)},  // tol = 1e-8
      {{-2.0, 3.0, 5.0}, 2, std::log(15.0)},        // negative eigenvalues count for nothing
  };
  for (const Case& c : cases) {
    for (bool rotate : {false, true}) {
      const Matrix s = rotate ? with_spectrum(c.spectrum) : diag(c.spectrum);
      const auto [rank, lpd] = penalty_log_pdet(s);
      EXPECT_EQ(rank, c.rank) << "rotated " << rotate << " first " << c.spectrum[0];
      // The rotation perturbs eigenvalues by ~1e-16 absolutely, which moves
      // the log of 2e-10 by ~1e-6.
      EXPECT_NEAR(lpd, c.log_pdet, rotate ? 1e-5 : 1e-12) << "rotated " << rotate;
    }
  }
  // Only the upper triangle is read.
  Matrix s = with_spectrum({0.0, 2.0, 3.0});
  s(2, 0) = 100.0;
  s(1, 0) = -7.0;
  const auto [rank, lpd] = penalty_log_pdet(s);
  EXPECT_EQ(rank, 2u);
  EXPECT_NEAR(lpd, std::log(6.0), 1e-12);
}

TEST(NullSpaceDimension, RankOfTheSummedPenalties) {
  // Two penalties on the same direction of a 4-wide design: ranks 1 + 1, but
  // the sum has rank 1.
  Matrix a(4, 4), b(4, 4);
  for (std::size_t i = 1; i < 3; ++i)
    for (std::size_t j = 1; j < 3; ++j) a(i, j) = 1.0;
  b = a;
  for (double& v : b.storage()) v *= 3.0;
  EXPECT_EQ(null_space_dimension({a, b}, {1, 1}, 4), 3u);
  // Different directions: rank 2.
  Matrix c(4, 4);
  c(3, 3) = 2.0;
  EXPECT_EQ(null_space_dimension({a, c}, {1, 1}, 4), 2u);
  EXPECT_EQ(null_space_dimension({a}, {1}, 4), 3u);
  EXPECT_EQ(null_space_dimension({}, {}, 4), 4u);
  EXPECT_EQ(null_space_dimension({a}, {9}, 4), 0u);  // never wraps below zero
}

TEST(InterceptColumn, PrependsOnes) {
  Matrix b(2, 2, Vector{3.0, 4.0, 5.0, 6.0});
  EXPECT_EQ(prepend_intercept_column(b.view()), Matrix(2, 3, Vector{1, 3, 4, 1, 5, 6}));
  EXPECT_EQ(prepend_intercept_column(Matrix(3, 0).view()), Matrix(3, 1, 1.0));
  EXPECT_EQ(prepend_intercept_column(Matrix(0, 4).view()).cols(), 5u);
}

TEST(CrDesign, ShapePenaltyRankAndConstraint) {
  const std::size_t n = 200, k = 10;
  const Matrix x = covariates(n);
  auto r = build_cr_design(x.view(), k);
  ASSERT_TRUE(r.ok());
  const ModelDesign& d = r.value();
  ASSERT_EQ(d.x.rows(), n);
  ASSERT_EQ(d.x.cols(), k);
  EXPECT_EQ(d.predictor.index(), TermPredictor::kCr);
  ASSERT_EQ(d.penalties.size(), 1u);
  EXPECT_EQ(d.penalty_ranks, std::vector<std::size_t>{k - 2});
  EXPECT_EQ(d.null_space_dim, 2u);
  EXPECT_EQ(d.penalty_groups, (std::vector<std::vector<std::size_t>>{{0}}));
  ASSERT_EQ(d.penalty_log_pdets.size(), 1u);
  EXPECT_TRUE(std::isfinite(d.penalty_log_pdets[0]));
  const Matrix& p = d.penalties[0];
  ASSERT_EQ(p.rows(), k);
  ASSERT_EQ(p.cols(), k);
  for (std::size_t i = 0; i < k; ++i) {
    EXPECT_EQ(p(0, i), 0.0);
    EXPECT_EQ(p(i, 0), 0.0);
  }
  // Intercept column, and term columns summing to zero over the data.
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(d.x(i, 0), 1.0);
  for (std::size_t j = 1; j < k; ++j) {
    double s = 0.0, a = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      s += d.x(i, j);
      a += std::fabs(d.x(i, j));
    }
    EXPECT_NEAR(s, 0.0, 1e-12 * a) << "column " << j;
  }
  // The unpenalized term direction is the centred linear function: the
  // design reproduces x_0 - mean(x_0) with zero penalty.
  const auto& pred = std::get<CrPredictor>(d.predictor.value);
  const Matrix& z = pred.constraint;
  double mean = 0.0;
  for (std::size_t i = 0; i < n; ++i) mean += x(i, 0) / static_cast<double>(n);
  // Knot values of the centred line, projected onto the constrained space.
  Vector g(k - 1, 0.0);
  for (std::size_t a = 0; a + 1 < k; ++a)
    for (std::size_t r2 = 0; r2 < k; ++r2) g[a] += z(r2, a) * (pred.knots[r2] - mean);
  double quad = 0.0;
  for (std::size_t a = 0; a + 1 < k; ++a)
    for (std::size_t b = 0; b + 1 < k; ++b) quad += g[a] * p(a + 1, b + 1) * g[b];
  EXPECT_NEAR(quad, 0.0, 1e-9);
  for (std::size_t i = 0; i < n; i += 17) {
    double fi = 0.0;
    for (std::size_t a = 0; a + 1 < k; ++a) fi += d.x(i, a + 1) * g[a];
    EXPECT_NEAR(fi, x(i, 0) - mean, 1e-10);
  }
}

TEST(CrDesign, PenaltyIsScaledToTheBasis) {
  // Rescaling the covariate changes the raw penalty by powers of the scale
  // but leaves the scaled one and the basis unchanged.
  const std::size_t n = 150, k = 7;
  Matrix x = covariates(n, 5);
  Matrix x2 = x;
  for (std::size_t i = 0; i < n; ++i) x2(i, 0) = 1000.0 * x(i, 0);
  auto a = build_cr_design(x.view(), k);
  auto b = build_cr_design(x2.view(), k);
  ASSERT_TRUE(a.ok() && b.ok());
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < k; ++j)
      EXPECT_NEAR(a.value().penalties[0](i, j), b.value().penalties[0](i, j), 1e-9);
  EXPECT_NEAR(a.value().penalty_log_pdets[0], b.value().penalty_log_pdets[0], 1e-8);
}

TEST(CrDesign, EmptyColumnGivesADegenerateDesign) {
  auto r = build_cr_design(Matrix(0, 1).view(), 4);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().x.rows(), 0u);
  EXPECT_EQ(r.value().x.cols(), 4u);
  EXPECT_EQ(r.value().penalties[0], Matrix(4, 4));
  EXPECT_EQ(r.value().penalty_ranks[0], 0u);
  EXPECT_EQ(r.value().null_space_dim, 4u);
}

TEST(CrStableDesign, RotatesIntoTheEigenbasisOfThePenalty) {
  const std::size_t n = 120;
  const Matrix x = covariates(n, 9);
  for (std::size_t k : {3u, 6u, 12u}) {
    auto rc = build_cr_design(x.view(), k);
    auto rs = build_cr_stable_design(x.view(), k);
    ASSERT_TRUE(rc.ok() && rs.ok());
    const ModelDesign& dc = rc.value();
    const ModelDesign& ds = rs.value();
    EXPECT_EQ(ds.predictor.index(), TermPredictor::kCrStable);
    ASSERT_EQ(ds.x.cols(), k);
    EXPECT_EQ(ds.penalty_ranks, dc.penalty_ranks);
    EXPECT_EQ(ds.null_space_dim, 2u);
    EXPECT_NEAR(ds.penalty_log_pdets[0], dc.penalty_log_pdets[0], 1e-9);
    const auto& pr = std::get<CrStablePredictor>(ds.predictor.value);
    const Matrix& u = pr.reparam;
    const std::size_t m = k - 1;
    ASSERT_EQ(u.rows(), m);
    ASSERT_EQ(u.cols(), m);
    // U orthogonal.
    for (std::size_t a = 0; a < m; ++a)
      for (std::size_t b = 0; b < m; ++b) {
        double dot = 0.0;
        for (std::size_t r = 0; r < m; ++r) dot += u(r, a) * u(r, b);
        EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-12);
      }
    // The term penalty is diagonal with non-increasing entries, the last zero.
    const Matrix& p = ds.penalties[0];
    double top = p(1, 1);
    double off = 0.0;
    for (std::size_t a = 1; a <= m; ++a)
      for (std::size_t b = 1; b <= m; ++b)
        if (a != b) off = std::fmax(off, std::fabs(p(a, b)));
    EXPECT_LE(off, 1e-12 * top);
    for (std::size_t a = 1; a < m; ++a) EXPECT_GE(p(a, a), p(a + 1, a + 1) - 1e-12 * top);
    EXPECT_NEAR(p(m, m), 0.0, 1e-10 * top);
    EXPECT_GT(p(m - 1, m - 1), 1e-8 * top);
    // Same constraint as "cr"; basis = (cr basis)·U; columns sum to zero.
    EXPECT_EQ(pr.constraint, std::get<CrPredictor>(dc.predictor.value).constraint);
    for (std::size_t i = 0; i < n; i += 7)
      for (std::size_t c = 0; c < m; ++c) {
        double v = 0.0;
        for (std::size_t r = 0; r < m; ++r) v += dc.x(i, r + 1) * u(r, c);
        EXPECT_NEAR(ds.x(i, c + 1), v, 1e-12);
      }
    for (std::size_t c = 1; c <= m; ++c) {
      double s = 0.0;
      for (std::size_t i = 0; i < n; ++i) s += ds.x(i, c);
      EXPECT_NEAR(s, 0.0, 1e-11);
    }
  }
}

TEST(StableReparam, WrongSizeIsRejected) {
  auto r = make_stable_reparam(Matrix(2, 3), 2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
  EXPECT_EQ(r.error().message, "StableReparam: inner_penalty must be (2, 2); got (2, 3)");
  auto bad = make_stable_reparam(Matrix(2, 2, std::nan("")), 2);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, QueltError::Kind::Linalg);
  EXPECT_EQ(bad.error().message.rfind("eigh failed in StableReparam: ", 0), 0u);
}

TEST(ReDesign, IndicatorColumnsPerLevel) {
  Matrix x(4, 2, Vector{3.0, 9.0, 1.0, 9.0, 3.0, 9.0, 2.0, 9.0});
  auto r = build_re_design(x.view());
  ASSERT_TRUE(r.ok());
  const ModelDesign& d = r.value();
  EXPECT_EQ(d.predictor.index(), TermPredictor::kRe);
  EXPECT_EQ(std::get<RePredictor>(d.predictor.value).levels, (Vector{1.0, 2.0, 3.0}));
  EXPECT_EQ(d.x, Matrix(4, 4, Vector{1, 0, 0, 1, 1, 1, 0, 0, 1, 0, 0, 1, 1, 0, 1, 0}));
  EXPECT_EQ(d.penalties[0], diag({0.0, 1.0, 1.0, 1.0}));
  EXPECT_EQ(d.penalty_ranks[0], 3u);
  EXPECT_EQ(d.penalty_log_pdets[0], 0.0);
  EXPECT_EQ(d.null_space_dim, 1u);
  EXPECT_EQ(d.penalty_groups, (std::vector<std::vector<std::size_t>>{{0}}));
}

TEST(ReDesign, SignedZerosAreOneLevel) {
  Matrix x(5, 1, Vector{-0.0, 1.0, 0.0, -0.0, 1.0});
  auto r = build_re_design(x.view());
  ASSERT_TRUE(r.ok());
  const auto& levels = std::get<RePredictor>(r.value().predictor.value).levels;
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_FALSE(std::signbit(levels[0]));
  EXPECT_EQ(r.value().x, Matrix(5, 3, Vector{1, 1, 0, 1, 0, 1, 1, 1, 0, 1, 1, 0, 1, 0, 1}));
  // Unknown values and NaN give zero rows.
  Matrix m =
      re_indicator_matrix({1.0, 2.0, 3.0}, Matrix(3, 1, Vector{2.5, std::nan(""), 3.0}).view());
  EXPECT_EQ(m, Matrix(3, 3, Vector{0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(PredictorEvaluate, TrainingCovariatesReproduceTheModelMatrixBitForBit) {
  const std::size_t n = 300;
  Matrix x = covariates(n, 21);
  Matrix xre(n, 2);
  for (std::size_t i = 0; i < n; ++i) {
    xre(i, 0) = static_cast<double>((i * 7) % 13) - 6.0;
    xre(i, 1) = x(i, 1);
  }
  std::vector<std::pair<const char*, Result<ModelDesign>>> designs;
  designs.emplace_back("cr", build_cr_design(x.view(), 9));
  designs.emplace_back("cr_stable", build_cr_stable_design(x.view(), 9));
  designs.emplace_back("re", build_re_design(xre.view()));
  const std::vector<std::size_t> subset = {17, 0, 299, 17, 150};
  for (auto& [name, r] : designs) {
    ASSERT_TRUE(r.ok()) << name;
    const ModelDesign& d = r.value();
    const Matrix& xin = std::string(name) == "re" ? xre : x;
    // A copy of the predictor, as a fitted model keeps it.
    const TermPredictor stored = d.predictor;
    auto full = predictor_evaluate(stored, xin.view());
    ASSERT_TRUE(full.ok()) << name;
    EXPECT_TRUE(full.value() == d.x) << name;
    // Column 0 alone gives the same matrix.
    auto narrow = predictor_evaluate(stored, xin.view().t().row_block(0, 1).t());
    ASSERT_TRUE(narrow.ok());
    EXPECT_TRUE(narrow.value() == d.x) << name;
    // Any selection of rows gives exactly the corresponding rows.
    Matrix xs(subset.size(), xin.cols());
    for (std::size_t i = 0; i < subset.size(); ++i)
      for (std::size_t j = 0; j < xin.cols(); ++j) xs(i, j) = xin(subset[i], j);
    auto part = predictor_evaluate(stored, xs.view());
    ASSERT_TRUE(part.ok());
    for (std::size_t i = 0; i < subset.size(); ++i)
      for (std::size_t j = 0; j < d.x.cols(); ++j)
        EXPECT_EQ(part.value()(i, j), d.x(subset[i], j)) << name;
    // No rows: 0 x p.
    auto none = predictor_evaluate(stored, Matrix(0, 1).view());
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.value().rows(), 0u);
    EXPECT_EQ(none.value().cols(), d.x.cols());
  }
}

// Long covariates are handled block by block (basis, column sums, norms,
// products) and sorted by the radix path: every piece must equal, to the
// bit, what the whole-matrix computation gives, and the stored predictors
// must rebuild the model matrices exactly across block boundaries.
TEST(CrDesign, LongCovariatesMatchTheWholeMatrixComputationBitForBit) {
  const std::size_t n = 20011;
  Matrix x = covariates(n, 8);
  for (std::size_t i = 0; i < n; i += 97) x(i, 0) = std::round(4.0 * x(i, 0)) / 4.0;  // ties
  x(5, 0) = 0.0;
  x(9000, 0) = -0.0;
  auto term = build_cr_term(x.view(), 0, 12);
  ASSERT_TRUE(term.ok());
  const MatrixView col = column_view(x.view(), 0);
  auto knots = place_cr_knots(col, 12);
  ASSERT_TRUE(knots.ok());
  EXPECT_EQ(knots.value(), term.value().predictor.knots);
  const Matrix b = cr_basis(knots.value(), col);
  Vector sums(b.cols(), 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < b.cols(); ++j) sums[j] += b(i, j);
  const Matrix z = constraint_null_space(sums);
  EXPECT_EQ(z, term.value().predictor.constraint);
  EXPECT_EQ(matmul(b.view(), z.view()), term.value().basis);
  Matrix s = cr_penalty_range_units(knots.value());
  const double scale = penalty_scale_to_basis(b.view(), s.view());
  for (double& v : s.storage()) v *= scale;
  EXPECT_EQ(matmul(matmul(z.view().t(), s.view()).view(), z.view()), term.value().penalty);

  for (int stable = 0; stable < 2; ++stable) {
    auto d = stable ? build_cr_stable_design(x.view(), 12) : build_cr_design(x.view(), 12);
    ASSERT_TRUE(d.ok());
    auto again = predictor_evaluate(d.value().predictor, x.view());
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value() == d.value().x) << stable;
    for (std::size_t i = 0; i < n; i += 4099) EXPECT_EQ(d.value().x(i, 0), 1.0);
  }
}

TEST(PredictorEvaluate, NewValuesExtrapolateLinearlyAndUnseenLevelsAreZero) {
  const Matrix x = covariates(80, 4);
  auto r = build_cr_design(x.view(), 6);
  ASSERT_TRUE(r.ok());
  const double top = std::get<CrPredictor>(r.value().predictor.value).knots.back();
  auto e = predictor_evaluate(r.value().predictor, Matrix(3, 1, Vector{top + 1, top + 2, top + 3}));
  ASSERT_TRUE(e.ok());
  for (std::size_t j = 0; j < 6; ++j)
    EXPECT_NEAR(e.value()(0, j) - 2 * e.value()(1, j) + e.value()(2, j), 0.0, 1e-12);
  TermPredictor re = RePredictor{{1.0, 2.0}};
  auto z = predictor_evaluate(re, Matrix(2, 1, Vector{7.0, -0.0}));
  ASSERT_TRUE(z.ok());
  EXPECT_EQ(z.value(), Matrix(2, 3, Vector{1, 0, 0, 1, 0, 0}));
  TermPredictor re0 = RePredictor{{0.0, 2.0}};
  EXPECT_EQ(predictor_evaluate(re0, Matrix(1, 1, Vector{-0.0})).value(),
            Matrix(1, 3, Vector{1, 1, 0}));
}

TEST(Designs, BadArgumentMessages) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  Matrix ok3 = covariates(10);
  Matrix with_nan = ok3;
  with_nan(4, 0) = nan;
  Matrix with_inf = ok3;
  with_inf(7, 0) = -inf;
  Matrix constant(5, 1, 2.0);
  const Matrix no_columns(4, 0);
  const MatrixView none = no_columns.view();
  struct Case {
    const char* what;
    Result<ModelDesign> result;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({"cr k=2", build_cr_design(ok3.view(), 2), "CR spline needs k ≥ 3 (got 2)"});
  cases.push_back(
      {"stable k=1", build_cr_stable_design(ok3.view(), 1), "CR spline needs k ≥ 3 (got 1)"});
  cases.push_back({"cr constant", build_cr_design(constant.view(), 3),
                   "x column 0 is constant (1 distinct value): a cubic regression basis with "
                   "k = 3 needs at least 2 distinct values"});
  // Two neighbouring doubles: no room for 5 increasing knots between them.
  Matrix narrow(4, 1, Vector{1e6, std::nextafter(1e6, 2e6), 1e6, 1e6});
  cases.push_back({"stable narrow", build_cr_stable_design(narrow.view(), 5),
                   "x column 0 has 2 distinct values too close together to place k = 5 "
                   "strictly increasing knots"});
  cases.push_back({"cr no columns", build_cr_design(none, 5), "x must have at least one column"});
  cases.push_back({"re no columns", build_re_design(none), "x must have at least one column"});
  cases.push_back(
      {"stable no columns", build_cr_stable_design(none, 5), "x must have at least one column"});
  cases.push_back({"cr NaN", build_cr_design(with_nan.view(), 5),
                   "x has a non-finite value at row 4, column 0"});
  cases.push_back({"stable inf", build_cr_stable_design(with_inf.view(), 5),
                   "x has a non-finite value at row 7, column 0"});
  cases.push_back(
      {"re NaN", build_re_design(with_nan.view()), "x has a non-finite value at row 4, column 0"});
  cases.push_back({"re empty", build_re_design(Matrix(0, 2).view()), "Re basis: x is empty"});
  for (const Case& c : cases) {
    ASSERT_FALSE(c.result.ok()) << c.what;
    EXPECT_EQ(c.result.error().kind, QueltError::Kind::InvalidParameter) << c.what;
    EXPECT_EQ(c.result.error().message, c.message) << c.what;
  }
  // A non-finite value in a column the design does not read is harmless.
  Matrix other = ok3;
  other(2, 1) = nan;
  EXPECT_TRUE(build_cr_design(other.view(), 4).ok());
  // Term builders check the column they read.
  auto t = build_cr_term(other.view(), 1, 4);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().message, "x has a non-finite value at row 2, column 1");
}

TEST(PredictorEvaluate, DamagedRecordsAndNarrowInputAreErrors) {
  auto r = build_cr_stable_design(covariates(30).view(), 5);
  ASSERT_TRUE(r.ok());
  const auto& good = std::get<CrStablePredictor>(r.value().predictor.value);
  struct Case {
    const char* what;
    TermPredictor predictor;
    Matrix x;
    std::string message;
  };
  const Matrix x1(2, 1, 0.5);
  std::vector<Case> cases;
  cases.push_back({"cr decreasing", CrPredictor{{0.0, 2.0, 1.0}, Matrix(3, 2)}, x1,
                   "CR spline knots must be strictly increasing"});
  cases.push_back(
      {"cr short", CrPredictor{{0.0, 1.0}, Matrix(2, 1)}, x1, "CR spline needs k ≥ 3 (got 2)"});
  cases.push_back({"cr constraint", CrPredictor{{0.0, 1.0, 2.0}, Matrix(4, 2)}, x1,
                   "stored Cr predictor has a 4x2 constraint for 3 knots"});
  cases.push_back({"stable reparam", CrStablePredictor{good.knots, good.constraint, Matrix(3, 3)},
                   x1, "stored CrStable predictor has a 3x3 reparam for a 5x4 constraint"});
  cases.push_back({"re unsorted", RePredictor{{2.0, 1.0}}, x1,
                   "stored Re predictor levels must be finite and strictly increasing"});
  cases.push_back({"re signed zeros", RePredictor{{-0.0, 0.0}}, x1,
                   "stored Re predictor levels must be finite and strictly increasing"});
  cases.push_back({"cr no columns", CrPredictor{good.knots, good.constraint}, Matrix(2, 0),
                   "x must have at least one column"});
  cases.push_back(
      {"re no columns", RePredictor{{1.0}}, Matrix(2, 0), "x must have at least one column"});
  cases.push_back({"stable no columns", good, Matrix(2, 0), "x must have at least one column"});
  for (const Case& c : cases) {
    auto e = predictor_evaluate(c.predictor, c.x.view());
    ASSERT_FALSE(e.ok()) << c.what;
    EXPECT_EQ(e.error().kind, QueltError::Kind::InvalidParameter) << c.what;
    EXPECT_EQ(e.error().message, c.message) << c.what;
  }
}

TEST(TermPredictor, TagsAndDeepCopies) {
  EXPECT_EQ(TermPredictor(CrPredictor{}).index(), 0u);
  EXPECT_EQ(TermPredictor(RePredictor{}).index(), 1u);
  EXPECT_EQ(TermPredictor(CrStablePredictor{}).index(), 2u);
  EXPECT_EQ(TermPredictor(AdditivePredictor{}).index(), 3u);
  EXPECT_EQ(TermPredictor(TensorPredictor{}).index(), 4u);
  EXPECT_EQ(TermPredictor(TensorMultiPredictor{}).index(), 5u);
  EXPECT_EQ(TermPredictor(TpsPredictor{}).index(), 6u);
  EXPECT_EQ(static_cast<std::uint32_t>(MarginBasis::Cr), 0u);
  // A nested copy is deep.
  AdditivePredictor add;
  add.terms.push_back(RePredictor{{1.0}});
  TermPredictor a = add;
  TermPredictor b = a;
  std::get<RePredictor>(std::get<AdditivePredictor>(b.value).terms[0].value).levels[0] = 5.0;
  EXPECT_EQ(std::get<RePredictor>(std::get<AdditivePredictor>(a.value).terms[0].value).levels[0],
            1.0);
}

}  // namespace
}  // namespace quelt

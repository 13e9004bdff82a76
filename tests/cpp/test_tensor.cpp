#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "basis/cr.hpp"
#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/tensor.hpp"
#include "test_data.hpp"

namespace quelt {
namespace {

// Textbook Kronecker product: (A ⊗ B)(i·rb + k, j·cb + l) = A(i, j)·B(k, l).
Matrix kron(const Matrix& a, const Matrix& b) {
  Matrix out(a.rows() * b.rows(), a.cols() * b.cols());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j)
      for (std::size_t k = 0; k < b.rows(); ++k)
        for (std::size_t l = 0; l < b.cols(); ++l)
          out(i * b.rows() + k, j * b.cols() + l) = a(i, j) * b(k, l);
  return out;
}

Matrix naive_mul(const Matrix& a, const Matrix& b) {
  Matrix c(a.rows(), b.cols());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < b.cols(); ++j) {
      long double s = 0;
      for (std::size_t k = 0; k < a.cols(); ++k) s += (long double)a(i, k) * b(k, j);
      c(i, j) = (double)s;
    }
  return c;
}

Matrix naive_t(const Matrix& a) {
  Matrix t(a.cols(), a.rows());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) t(j, i) = a(i, j);
  return t;
}

double max_abs_diff(const Matrix& a, const Matrix& b) {
  EXPECT_EQ(a.rows(), b.rows());
  EXPECT_EQ(a.cols(), b.cols());
  double d = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    d = std::fmax(d, std::fabs(a.data()[i] - b.data()[i]));
  return d;
}

// n x d covariates, uniform on [0, 1), fixed seed.
Matrix covariates(std::size_t n, std::size_t d, unsigned seed = 7) {
  return testing::uniform_covariates(n, d, seed);
}

template <class T>
std::string error_of(const Result<T>& r) {
  return r.ok() ? std::string("<ok>") : r.error().message;
}

// Quadratic form vᵀ·M·v.
double quad(const Matrix& m, const Vector& v) {
  double s = 0;
  for (std::size_t i = 0; i < m.rows(); ++i)
    for (std::size_t j = 0; j < m.cols(); ++j) s += v[i] * m(i, j) * v[j];
  return s;
}

TEST(TensorKron, ThreeMarginPenaltiesMatchExplicitKroneckerProducts) {
  // Margin widths 2, 3, 4; margin penalty j sits between identities of the
  // widths before and after it.
  const std::size_t dims[3] = {2, 3, 4};
  std::mt19937_64 g(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (std::size_t j = 0; j < 3; ++j) {
    Matrix s(dims[j], dims[j]);
    for (auto& v : s.storage()) v = u(g);
    s(0, dims[j] - 1) = 0.0;  // zero entries are skipped, not mishandled
    std::size_t left = 1, right = 1;
    for (std::size_t i = 0; i < j; ++i) left *= dims[i];
    for (std::size_t i = j + 1; i < 3; ++i) right *= dims[i];
    const Matrix expected = kron(kron(Matrix::identity(left), s), Matrix::identity(right));
    const Matrix got = kron_penalty(s, left, right);
    ASSERT_EQ(got.rows(), 24u);
    ASSERT_EQ(got.cols(), 24u);
    EXPECT_EQ(max_abs_diff(got, expected), 0.0) << "margin " << j;
  }
  // A rectangular margin matrix keeps its shape inside the product.
  Matrix r(2, 3, 1.5);
  const Matrix expected = kron(kron(Matrix::identity(2), r), Matrix::identity(3));
  EXPECT_EQ(max_abs_diff(kron_penalty(r, 2, 3), expected), 0.0);
}

TEST(TensorKron, RowKronIsTheKroneckerProductOfEachRowPair) {
  const Matrix a = covariates(4, 3, 1);
  const Matrix b = covariates(6, 2, 2);  // more rows than a: only the first 4 are read
  const Matrix out = row_kron(a.view(), b.view());
  ASSERT_EQ(out.rows(), 4u);
  ASSERT_EQ(out.cols(), 6u);
  for (std::size_t i = 0; i < 4; ++i) {
    Matrix ra(1, 3), rb(1, 2);
    for (std::size_t u = 0; u < 3; ++u) ra(0, u) = a(i, u);
    for (std::size_t v = 0; v < 2; ++v) rb(0, v) = b(i, v);
    const Matrix expected = kron(ra, rb);
    for (std::size_t c = 0; c < 6; ++c) EXPECT_EQ(out(i, c), expected(0, c));
  }
  EXPECT_THROW(row_kron(b.view(), a.view()), InvariantViolation);
}

TEST(TensorRescale, LargestEigenvalueBecomesOne) {
  // S = Q·diag(λ)·Q with Q a Householder reflection, so its eigenvalues are λ.
  const std::vector<double> u = {0.3, -0.5, 0.2, 0.7};
  double uu = 0;
  for (double v : u) uu += v * v;
  Matrix q = Matrix::identity(4);
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 4; ++j) q(i, j) -= 2.0 * u[i] * u[j] / uu;
  struct Case {
    std::vector<double> lambda;
    double divisor;  // expected λ⁺, 1 when S stays unchanged
  };
  const Case cases[] = {
      {{0.0, 0.5, 2.0, 8.0}, 8.0},      // positive semi-definite: divided by 8
      {{-3.0, 0.25, 0.5, 0.75}, 0.75},  // a negative eigenvalue does not count
      {{-3.0, -2.0, -1.0, -0.5}, 1.0},  // no positive eigenvalue: unchanged
  };
  for (const Case& c : cases) {
    Matrix d(4, 4);
    for (std::size_t i = 0; i < 4; ++i) d(i, i) = c.lambda[i];
    const Matrix s = naive_mul(naive_mul(q, d), q);
    auto r = rescale_penalty_by_max_eig(s);
    ASSERT_TRUE(r.ok()) << error_of(r);
    Matrix expected = s;
    for (auto& v : expected.storage()) v /= c.divisor;
    EXPECT_LT(max_abs_diff(r.value(), expected), 1e-14) << c.divisor;
  }
  // The zero matrix comes back unchanged.
  auto z = rescale_penalty_by_max_eig(Matrix(3, 3));
  ASSERT_TRUE(z.ok());
  EXPECT_EQ(z.value(), Matrix(3, 3));
  // A failed eigendecomposition is a Linalg error with the operation's prefix.
  Matrix bad = Matrix::identity(3);
  bad(0, 1) = std::numeric_limits<double>::quiet_NaN();
  auto e = rescale_penalty_by_max_eig(bad);
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind, QueltError::Kind::Linalg);
  EXPECT_EQ(e.error().message.rfind("eigh failed in tensor penalty rescale: ", 0), 0u)
      << e.error().message;
}

TEST(TensorTerms, SizesOfTeTeMultiAndTi) {
  const Matrix x = covariates(200, 3);
  auto te = build_tensor_term(x.view(), 0, 1, 5, 5);
  ASSERT_TRUE(te.ok()) << error_of(te);
  EXPECT_EQ(te.value().basis.rows(), 200u);
  EXPECT_EQ(te.value().basis.cols(), 24u);
  ASSERT_EQ(te.value().penalties.size(), 2u);
  for (const Matrix& p : te.value().penalties) {
    EXPECT_EQ(p.rows(), 24u);
    EXPECT_EQ(p.cols(), 24u);
  }
  const TensorPredictor& tp = te.value().predictor;
  EXPECT_EQ(tp.knots_a.size(), 5u);
  EXPECT_EQ(tp.knots_b.size(), 5u);
  EXPECT_EQ(tp.transform_a, Matrix::identity(5));
  EXPECT_EQ(tp.transform_b, Matrix::identity(5));
  EXPECT_EQ(tp.constraint.rows(), 25u);
  EXPECT_EQ(tp.constraint.cols(), 24u);

  struct Case {
    bool interaction;
    std::vector<std::size_t> k;
    std::size_t width;  // K - 1
  };
  const Case cases[] = {
      {false, {5, 5, 5}, 124},
      {true, {5, 5, 5}, 63},
      {false, {3, 4}, 11},
      {true, {4, 6, 3}, 29},  // 3·5·2 - 1
  };
  const std::size_t cols3[] = {0, 1, 2};
  for (const Case& c : cases) {
    std::span<const std::size_t> cols(cols3, c.k.size());
    auto r = build_tensor_multi_term(x.view(), cols, c.k, c.k.size(), c.interaction);
    ASSERT_TRUE(r.ok()) << error_of(r);
    const TensorMultiTerm& t = r.value();
    EXPECT_EQ(t.basis.cols(), c.width);
    ASSERT_EQ(t.penalties.size(), c.k.size());
    for (const Matrix& p : t.penalties) EXPECT_EQ(p.rows(), c.width);
    ASSERT_EQ(t.predictor.margin_transforms.size(), c.k.size());
    for (std::size_t i = 0; i < c.k.size(); ++i) {
      EXPECT_EQ(t.predictor.knots[i].size(), c.k[i]);  // always the unconstrained knots
      EXPECT_EQ(t.predictor.margin_transforms[i].has_value(), c.interaction);
      if (c.interaction) {
        EXPECT_EQ(t.predictor.margin_transforms[i]->rows(), c.k[i]);
        EXPECT_EQ(t.predictor.margin_transforms[i]->cols(), c.k[i] - 1);
      }
    }
    EXPECT_EQ(t.predictor.constraint.rows(), c.width + 1);
  }
}

// Row-wise product of the margins' cubic regression bases times Z, densely.
Matrix dense_tensor_basis(const Matrix& x, const TensorPredictor& pr, const Matrix& z) {
  const Matrix ba = cr_basis(pr.knots_a, x.view().t().row_block(pr.col_a, 1).t());
  const Matrix bb = cr_basis(pr.knots_b, x.view().t().row_block(pr.col_b, 1).t());
  Matrix t(x.rows(), ba.cols() * bb.cols());
  for (std::size_t i = 0; i < x.rows(); ++i)
    for (std::size_t u = 0; u < ba.cols(); ++u)
      for (std::size_t v = 0; v < bb.cols(); ++v) t(i, u * bb.cols() + v) = ba(i, u) * bb(i, v);
  return naive_mul(t, z);
}

TEST(TensorTerms, BasisColumnsSumToZeroAndPenaltiesAreZtPZ) {
  const Matrix x = covariates(150, 3, 3);
  auto te = build_tensor_term(x.view(), 2, 0, 4, 6);
  ASSERT_TRUE(te.ok()) << error_of(te);
  const Matrix& basis = te.value().basis;
  for (std::size_t j = 0; j < basis.cols(); ++j) {
    double s = 0;
    for (std::size_t i = 0; i < basis.rows(); ++i) s += basis(i, j);
    EXPECT_NEAR(s, 0.0, 1e-11) << "column " << j;
  }
  // The basis is the product basis times the stored constraint; a stored
  // constraint of any other form is applied as a plain product.
  const TensorPredictor& stored = te.value().predictor;
  EXPECT_LT(max_abs_diff(basis, dense_tensor_basis(x, stored, stored.constraint)), 1e-14);
  TensorPredictor other = stored;
  std::mt19937_64 g(5);
  std::uniform_real_distribution<double> unif(-1.0, 1.0);
  for (auto& v : other.constraint.storage()) v = unif(g);
  auto ev = evaluate_tensor_predictor(other, x.view());
  ASSERT_TRUE(ev.ok());
  const Matrix expected = dense_tensor_basis(x, other, other.constraint);
  for (std::size_t i = 0; i < x.rows(); ++i)
    for (std::size_t j = 0; j < expected.cols(); ++j)
      ASSERT_NEAR(ev.value()(i, j + 1), expected(i, j), 1e-14);
  // Each penalty is Zᵀ·(S̃_a ⊗ I)·Z or Zᵀ·(I ⊗ S̃_b)·Z, S̃ the margin penalty
  // scaled to largest eigenvalue 1, against a dense reference.
  const TensorPredictor& pr = te.value().predictor;
  auto sa = rescale_penalty_by_max_eig(cr_penalty(pr.knots_a).at(0));
  auto sb = rescale_penalty_by_max_eig(cr_penalty(pr.knots_b).at(0));
  ASSERT_TRUE(sa.ok() && sb.ok());
  const Matrix lifted[2] = {kron(sa.value(), Matrix::identity(6)),
                            kron(Matrix::identity(4), sb.value())};
  const Matrix& z = pr.constraint;
  for (std::size_t j = 0; j < 2; ++j) {
    const Matrix expected = naive_mul(naive_mul(naive_t(z), lifted[j]), z);
    EXPECT_LT(max_abs_diff(te.value().penalties[j], expected), 1e-13) << "penalty " << j;
  }
}

// Coefficients on the unconstrained knot grid (first margin slowest) of
// f = g_0 ⊗ g_1 ⊗ …, shifted by a constant into the range of Z (the
// constraint's null space), expressed in the constrained coordinates Zᵀ·β.
Vector constrained_coefficients(const std::vector<Vector>& factors, const Matrix& z) {
  Vector beta(1, 1.0);
  for (const Vector& f : factors) {
    Vector next(beta.size() * f.size());
    for (std::size_t i = 0; i < beta.size(); ++i)
      for (std::size_t j = 0; j < f.size(); ++j) next[i * f.size() + j] = beta[i] * f[j];
    beta = next;
  }
  const std::size_t kk = z.rows();
  // ĉ: the unit vector orthogonal to every column of Z, from e_0 − Z·Zᵀ·e_0.
  Vector c(kk, 0.0);
  c[0] = 1.0;
  for (std::size_t j = 0; j < z.cols(); ++j)
    for (std::size_t r = 0; r < kk; ++r) c[r] -= z(r, j) * z(0, j);
  // A constant shift (annihilated by every margin penalty) makes ĉᵀβ = 0.
  double cb = 0, c1 = 0;
  for (std::size_t r = 0; r < kk; ++r) {
    cb += c[r] * beta[r];
    c1 += c[r];
  }
  for (double& b : beta) b -= cb / c1;
  Vector gamma(z.cols(), 0.0);
  for (std::size_t j = 0; j < z.cols(); ++j)
    for (std::size_t r = 0; r < kk; ++r) gamma[j] += z(r, j) * beta[r];
  return gamma;
}

TEST(TensorTerms, EachPenaltyActsAlongItsOwnMargin) {
  // A function linear along margin j (for every value of the others) is not
  // penalized by penalty j; curvature along margin j is. A Kronecker factor
  // in the wrong position would penalize along the wrong margin.
  const Matrix x = covariates(300, 3, 5);
  const std::size_t cols[] = {0, 1, 2};
  const std::vector<std::size_t> k = {4, 5, 6};
  auto r = build_tensor_multi_term(x.view(), cols, k, 3, false);
  ASSERT_TRUE(r.ok()) << error_of(r);
  const TensorMultiTerm& t = r.value();
  for (std::size_t j = 0; j < 3; ++j) {
    std::vector<Vector> linear_in_j, curved_in_j;
    for (std::size_t i = 0; i < 3; ++i) {
      const Vector& kn = t.predictor.knots[i];
      Vector lin(kn.size()), curved(kn.size());
      for (std::size_t u = 0; u < kn.size(); ++u) {
        lin[u] = i == j ? 2.0 * kn[u] - 0.3 : 1.0 + kn[u] * kn[u];
        curved[u] = i == j ? std::sin(5.0 * kn[u]) : 1.0 + kn[u] * kn[u];
      }
      linear_in_j.push_back(lin);
      curved_in_j.push_back(curved);
    }
    const Vector g_lin = constrained_coefficients(linear_in_j, t.predictor.constraint);
    const Vector g_curved = constrained_coefficients(curved_in_j, t.predictor.constraint);
    EXPECT_NEAR(quad(t.penalties[j], g_lin), 0.0, 1e-9) << "margin " << j;
    EXPECT_GT(quad(t.penalties[j], g_curved), 1e-3) << "margin " << j;
    // The other penalties see curvature in their own margins (1 + t²).
    for (std::size_t o = 0; o < 3; ++o) {
      if (o != j) {
        EXPECT_GT(quad(t.penalties[o], g_lin), 1e-6) << j << " " << o;
      }
    }
  }
}

TEST(TensorTerms, SpecificationErrors) {
  const Matrix x = covariates(50, 3);
  struct Case {
    const char* what;
    Result<TensorTerm> got;
    std::string message;
  };
  Case te_cases[] = {
      {"same column", build_tensor_term(x.view(), 1, 1, 2, 5),
       "Tensor term must have distinct margin columns (got col_a == col_b == 1)"},
      {"k_a too small", build_tensor_term(x.view(), 0, 1, 2, 5), "CR spline needs k ≥ 3 (got 2)"},
      {"margin a first", build_tensor_term(x.view(), 0, 1, 1, 2), "CR spline needs k ≥ 3 (got 1)"},
      {"column beyond x", build_tensor_term(x.view(), 0, 3, 5, 5),
       "Tensor term reads column 3 but x has only 3 columns"},
  };
  for (auto& c : te_cases) {
    ASSERT_FALSE(c.got.ok()) << c.what;
    EXPECT_EQ(c.got.error().kind, QueltError::Kind::InvalidParameter) << c.what;
    EXPECT_EQ(c.got.error().message, c.message) << c.what;
  }

  struct MultiCase {
    std::vector<std::size_t> cols, k;
    std::size_t bs;
    std::string message;
  };
  const MultiCase multi[] = {
      {{0}, {5}, 1, "n-margin tensor term must have >= 2 margins (got 1)"},
      {{0, 1}, {5, 5, 5}, 2, "n-margin tensor term: cols (2), k (3), bs (2) lengths must match"},
      {{0, 1}, {5, 5}, 3, "n-margin tensor term: cols (2), k (2), bs (3) lengths must match"},
      {{0, 2, 0},
       {5, 5, 5},
       3,
       "n-margin tensor term must have distinct margin columns (cols[0] == cols[2] == 0)"},
      {{0, 1, 2}, {5, 2, 1}, 3, "CR spline needs k ≥ 3 (got 2)"},
      {{0, 5}, {5, 5}, 2, "n-margin tensor term reads column 5 but x has only 3 columns"},
  };
  for (bool interaction : {false, true}) {
    for (const MultiCase& c : multi) {
      auto r = build_tensor_multi_term(x.view(), c.cols, c.k, c.bs, interaction);
      ASSERT_FALSE(r.ok()) << c.message;
      EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
      EXPECT_EQ(r.error().message, c.message);
    }
  }
}

TEST(TensorTerms, BadCovariatesAndHugeSizesAreErrorsNotCrashes) {
  Matrix x = covariates(40, 3);
  x(17, 1) = std::numeric_limits<double>::infinity();
  auto te = build_tensor_term(x.view(), 0, 1, 5, 5);
  ASSERT_FALSE(te.ok());
  EXPECT_EQ(te.error().kind, QueltError::Kind::InvalidParameter);
  EXPECT_NE(te.error().message.find("17"), std::string::npos) << te.error().message;
  const std::size_t cols[] = {0, 1};
  const std::vector<std::size_t> k = {5, 5};
  auto ti = build_tensor_multi_term(x.view(), cols, k, 2, true);
  ASSERT_FALSE(ti.ok());
  EXPECT_EQ(ti.error().kind, QueltError::Kind::InvalidParameter);

  const Matrix y = covariates(40, 3);
  const std::size_t huge = std::size_t{1} << 33;
  auto big = build_tensor_term(y.view(), 0, 1, huge, huge);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind, QueltError::Kind::InvalidParameter);
  const std::size_t cols3[] = {0, 1, 2};
  const std::vector<std::size_t> kbig = {huge, huge, 5};
  auto bigm = build_tensor_multi_term(y.view(), cols3, kbig, 3, false);
  ASSERT_FALSE(bigm.ok());
  EXPECT_EQ(bigm.error().kind, QueltError::Kind::InvalidParameter);
}

TEST(TensorPredictors, TrainingCovariatesReproduceTheBasisBitForBit) {
  const Matrix x = covariates(120, 4, 9);
  auto te = build_tensor_term(x.view(), 3, 1, 5, 4);
  ASSERT_TRUE(te.ok()) << error_of(te);
  auto ev = evaluate_tensor_predictor(te.value().predictor, x.view());
  ASSERT_TRUE(ev.ok()) << error_of(ev);
  ASSERT_EQ(ev.value().cols(), te.value().basis.cols() + 1);
  for (std::size_t i = 0; i < x.rows(); ++i) {
    EXPECT_EQ(ev.value()(i, 0), 1.0);
    for (std::size_t j = 0; j < te.value().basis.cols(); ++j)
      ASSERT_EQ(ev.value()(i, j + 1), te.value().basis(i, j)) << i << " " << j;
  }
  const std::size_t cols[] = {2, 0, 3};
  const std::vector<std::size_t> k = {4, 3, 5};
  for (bool interaction : {false, true}) {
    auto tm = build_tensor_multi_term(x.view(), cols, k, 3, interaction);
    ASSERT_TRUE(tm.ok()) << error_of(tm);
    auto e = evaluate_tensor_multi_predictor(tm.value().predictor, x.view());
    ASSERT_TRUE(e.ok()) << error_of(e);
    for (std::size_t i = 0; i < x.rows(); ++i)
      for (std::size_t j = 0; j < tm.value().basis.cols(); ++j)
        ASSERT_EQ(e.value()(i, j + 1), tm.value().basis(i, j)) << interaction;
    // Rows evaluate independently: a subset of rows (here rows 5..9 of a
    // wider x) gives the same rows.
    Matrix sub(5, 6, 0.25);
    for (std::size_t i = 0; i < 5; ++i)
      for (std::size_t c = 0; c < 4; ++c) sub(i, c) = x(5 + i, c);
    auto es = evaluate_tensor_multi_predictor(tm.value().predictor, sub.view());
    ASSERT_TRUE(es.ok());
    for (std::size_t i = 0; i < 5; ++i)
      for (std::size_t j = 0; j < es.value().cols(); ++j)
        ASSERT_EQ(es.value()(i, j), e.value()(5 + i, j));
  }
  // No rows: a 0 x p matrix.
  auto empty = evaluate_tensor_predictor(te.value().predictor, Matrix(0, 4).view());
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().rows(), 0u);
  EXPECT_EQ(empty.value().cols(), 20u);
}

TEST(TensorPredictors, NarrowCovariatesAndDamagedRecordsAreValueErrors) {
  const Matrix x = covariates(60, 3, 4);
  auto te = build_tensor_term(x.view(), 0, 2, 4, 4);
  ASSERT_TRUE(te.ok());
  const std::size_t cols[] = {0, 2};
  const std::vector<std::size_t> k = {4, 4};
  auto tm = build_tensor_multi_term(x.view(), cols, k, 2, true);
  ASSERT_TRUE(tm.ok());
  const Matrix narrow = covariates(5, 2);

  auto e1 = evaluate_tensor_predictor(te.value().predictor, narrow.view());
  ASSERT_FALSE(e1.ok());
  EXPECT_EQ(e1.error().message,
            "TensorPredictor: term reads columns (0, 2) but x has only 2 columns");
  auto e2 = evaluate_tensor_multi_predictor(tm.value().predictor, narrow.view());
  ASSERT_FALSE(e2.ok());
  EXPECT_EQ(e2.error().message,
            "TensorMultiPredictor: term reads column 2 but x has only 2 columns");

  // Damaged stored records: each is an InvalidParameter, never a crash.
  std::vector<std::pair<std::string, Result<Matrix>>> damaged;
  {
    TensorPredictor p = te.value().predictor;
    p.knots_b[2] = p.knots_b[1];
    damaged.emplace_back("knots_b", evaluate_tensor_predictor(p, x.view()));
  }
  {
    TensorPredictor p = te.value().predictor;
    p.knots_a.resize(2);
    damaged.emplace_back("knots_a", evaluate_tensor_predictor(p, x.view()));
  }
  {
    TensorPredictor p = te.value().predictor;
    p.constraint = Matrix(15, 14);
    damaged.emplace_back("constraint", evaluate_tensor_predictor(p, x.view()));
  }
  {
    TensorMultiPredictor p = tm.value().predictor;
    p.knots[1][0] = std::numeric_limits<double>::quiet_NaN();
    damaged.emplace_back("multi knots", evaluate_tensor_multi_predictor(p, x.view()));
  }
  {
    TensorMultiPredictor p = tm.value().predictor;
    p.margin_transforms.pop_back();
    damaged.emplace_back("multi transforms", evaluate_tensor_multi_predictor(p, x.view()));
  }
  {
    TensorMultiPredictor p = tm.value().predictor;
    p.margin_transforms[0] = Matrix(3, 3);
    damaged.emplace_back("multi transform shape", evaluate_tensor_multi_predictor(p, x.view()));
  }
  {
    TensorMultiPredictor p;
    damaged.emplace_back("no margins", evaluate_tensor_multi_predictor(p, x.view()));
  }
  for (auto& [what, r] : damaged) {
    ASSERT_FALSE(r.ok()) << what;
    EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter) << what;
  }
  EXPECT_EQ(damaged[0].second.error().message,
            "invalid stored knots_b: CR spline knots must be strictly increasing");
  EXPECT_EQ(damaged[1].second.error().message,
            "invalid stored knots_a: CR spline needs k ≥ 3 (got 2)");
  EXPECT_EQ(damaged[3].second.error().message,
            "invalid stored knots: CR spline knots must be strictly increasing");
  EXPECT_EQ(damaged[6].second.error().message, "tensor must have >= 1 margin");
}

}  // namespace
}  // namespace quelt

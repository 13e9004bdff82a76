#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/lapack.hpp"
#include "core/matrix.hpp"
#include "design/additive.hpp"
#include "design/confounding.hpp"
#include "design/cr.hpp"
#include "design/model_design.hpp"
#include "design/predictor.hpp"
#include "design/re.hpp"
#include "design/tensor.hpp"
#include "design/terms.hpp"
#include "design/tps.hpp"
#include "family/families.hpp"
#include "fit/gaussian_driver.hpp"
#include "inner/fit_context.hpp"
#include "score/envelope.hpp"
#include "test_data.hpp"

namespace quelt {
namespace {

using Spec = TermSpec;

Matrix covariates(std::size_t n, std::size_t d, unsigned seed = 21) {
  return testing::uniform_covariates(n, d, seed);
}

// Column 3 of the test data holds a grouping variable with 6 levels.
Matrix mixed_covariates(std::size_t n) {
  Matrix x = covariates(n, 4);
  for (std::size_t i = 0; i < n; ++i) x(i, 3) = static_cast<double>((i * 7) % 6);
  return x;
}

std::vector<Spec> mixed_terms() {
  return {
      Spec{Spec::Cr{0, 6}},
      Spec{Spec::CrStable{1, 5}},
      Spec{Spec::Re{3}},
      Spec{Spec::Te{0, 2, 4, 3}},
      Spec{
          Spec::TeMulti{{2, 1, 0}, {3, 4, 3}, {MarginBasis::Cr, MarginBasis::Cr, MarginBasis::Cr}}},
      Spec{Spec::Ti{{1, 2}, {4, 5}, {MarginBasis::Cr, MarginBasis::Cr}}},
      Spec{Spec::Tp{8, {0, 1}}},
  };
}

// p minus the number of eigenvalues of Σ_j S_j above 1e-10·max(1, λ_max),
// from one eigendecomposition of the full sum.
std::size_t null_dim_of_sum(const ModelDesign& d) {
  const std::size_t p = d.x.cols();
  Matrix total(p, p);
  for (const Matrix& s : d.penalties)
    for (std::size_t e = 0; e < total.size(); ++e) total.data()[e] += s.data()[e];
  auto eig = sym_eigen(total);
  EXPECT_TRUE(eig.ok());
  double top = 1.0;
  for (double v : eig.value().values) top = std::fmax(top, v);
  std::size_t rank = 0;
  for (double v : eig.value().values) rank += v > 1e-10 * top ? 1 : 0;
  return p - rank;
}

TEST(AdditiveDesign, TwoCrTermsLayoutAndPenalties) {
  const Matrix x = covariates(200, 2);
  const std::vector<Spec> terms = {Spec{Spec::Cr{0, 10}}, Spec{Spec::Cr{1, 10}}};
  auto r = build_additive_design(terms, x.view());
  ASSERT_TRUE(r.ok()) << r.error().message;
  const ModelDesign& d = r.value();
  ASSERT_EQ(d.x.cols(), 19u);
  ASSERT_EQ(d.penalties.size(), 2u);
  const auto& ap = std::get<TermPredictor::kAdditive>(d.predictor.value);
  using Range = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(ap.col_ranges, (std::vector<Range>{{1, 10}, {10, 19}}));
  EXPECT_EQ(ap.term_cols, (std::vector<std::vector<std::size_t>>{{0}, {1}}));
  EXPECT_EQ(d.penalty_ranks, (std::vector<std::size_t>{8, 8}));
  EXPECT_EQ(d.penalty_groups, (std::vector<std::vector<std::size_t>>{{0}, {1}}));
  EXPECT_EQ(d.null_space_dim, 3u);
  for (std::size_t j = 0; j < 2; ++j) {
    const auto [lo, hi] = ap.col_ranges[j];
    for (std::size_t a = 0; a < 19; ++a)
      for (std::size_t b = 0; b < 19; ++b) {
        const bool inside = a >= lo && a < hi && b >= lo && b < hi;
        if (!inside) {
          ASSERT_EQ(d.penalties[j](a, b), 0.0) << j << " " << a << " " << b;
        }
      }
  }
}

TEST(AdditiveDesign, MixedTermsTileTheColumnsInTermOrder) {
  const Matrix x = mixed_covariates(120);
  const std::vector<Spec> terms = mixed_terms();
  auto r = build_additive_design(terms, x.view());
  ASSERT_TRUE(r.ok()) << r.error().message;
  const ModelDesign& d = r.value();
  const auto& ap = std::get<TermPredictor::kAdditive>(d.predictor.value);

  // Widths: k-1, k-1, levels, k_a·k_b-1, Πk-1, Π(k-1)-1, k.
  const std::vector<std::size_t> widths = {5, 4, 6, 11, 35, 11, 8};
  const std::vector<std::size_t> kinds = {TermPredictor::kCr,          TermPredictor::kCrStable,
                                          TermPredictor::kRe,          TermPredictor::kTensor,
                                          TermPredictor::kTensorMulti, TermPredictor::kTensorMulti,
                                          TermPredictor::kTps};
  ASSERT_EQ(ap.col_ranges.size(), widths.size());
  std::size_t at = 1;
  for (std::size_t t = 0; t < widths.size(); ++t) {
    EXPECT_EQ(ap.col_ranges[t].first, at) << t;
    EXPECT_EQ(ap.col_ranges[t].second, at + widths[t]) << t;
    EXPECT_EQ(ap.terms[t].index(), kinds[t]) << t;
    at += widths[t];
  }
  EXPECT_EQ(d.x.cols(), at);
  EXPECT_EQ(ap.term_cols[3], (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(ap.term_cols[4], (std::vector<std::size_t>{2, 1, 0}));

  // One penalty per smoothing parameter, grouped per term: the tensor terms'
  // penalties share a group.
  const std::vector<std::vector<std::size_t>> groups = {{0},       {1},    {2}, {3, 4},
                                                        {5, 6, 7}, {8, 9}, {10}};
  EXPECT_EQ(d.penalty_groups, groups);
  ASSERT_EQ(d.penalties.size(), 11u);
  ASSERT_EQ(d.penalty_ranks.size(), 11u);
  ASSERT_EQ(d.penalty_log_pdets.size(), 11u);
  for (const Matrix& s : d.penalties) {
    ASSERT_EQ(s.rows(), d.x.cols());
    for (std::size_t i = 0; i < s.rows(); ++i) {
      ASSERT_EQ(s(0, i), 0.0);
      ASSERT_EQ(s(i, 0), 0.0);
    }
  }
  // Random-effect penalty: the identity on its block, full rank, log pdet 0.
  EXPECT_EQ(d.penalty_ranks[2], 6u);
  EXPECT_EQ(d.penalty_log_pdets[2], 0.0);
  EXPECT_EQ(d.penalties[2](12, 12), 1.0);
  // The thin-plate penalty has full rank.
  EXPECT_EQ(d.penalty_ranks[10], 8u);

  // Each block is the term builder's own basis, bit for bit.
  auto te = build_tensor_term(x.view(), 0, 2, 4, 3);
  auto tp = build_tps_term(x.view(), std::vector<std::size_t>{0, 1}, 8);
  auto re = build_re_term(x.view(), 3);
  ASSERT_TRUE(te.ok() && tp.ok() && re.ok());
  for (std::size_t i = 0; i < x.rows(); ++i) {
    ASSERT_EQ(d.x(i, 0), 1.0);
    for (std::size_t j = 0; j < 11; ++j) ASSERT_EQ(d.x(i, 16 + j), te.value().basis(i, j));
    for (std::size_t j = 0; j < 8; ++j) ASSERT_EQ(d.x(i, 73 + j), tp.value().basis(i, j));
    for (std::size_t j = 0; j < 6; ++j) ASSERT_EQ(d.x(i, 10 + j), re.value().basis(i, j));
  }
  EXPECT_EQ(d.null_space_dim, null_dim_of_sum(d));
}

TEST(AdditiveDesign, NullSpaceOfTensorTermsIsThatOfThePenaltySum) {
  const Matrix x = covariates(300, 3, 4);
  struct Case {
    const char* what;
    std::vector<Spec> terms;
    std::size_t expected;  // 0: compare with the eigendecomposition only
  };
  const std::vector<MarginBasis> bs3(3, MarginBasis::Cr);
  const Case cases[] = {
      // Functions linear in both margins are unpenalized: 1, a, b, a·b; the
      // constant is the intercept's.
      {"te 5x5", {Spec{Spec::Te{0, 1, 5, 5}}}, 4},
      // Multilinear in three margins: 2³ functions.
      {"te_multi 5x5x5", {Spec{Spec::TeMulti{{0, 1, 2}, {5, 5, 5}, bs3}}}, 8},
      {"ti 5x5x5", {Spec{Spec::Ti{{0, 1, 2}, {5, 5, 5}, bs3}}}, 0},
      {"te + cr", {Spec{Spec::Te{0, 1, 4, 6}}, Spec{Spec::Cr{2, 7}}}, 5},
  };
  for (const Case& c : cases) {
    auto r = build_additive_design(c.terms, x.view());
    ASSERT_TRUE(r.ok()) << r.error().message;
    const std::size_t independent = null_dim_of_sum(r.value());
    EXPECT_EQ(r.value().null_space_dim, independent) << c.what;
    if (c.expected != 0) {
      EXPECT_EQ(r.value().null_space_dim, c.expected) << c.what;
    }
  }
}

TEST(AdditiveDesign, ErrorsAreReportedBeforeAnythingIsBuilt) {
  const Matrix x = covariates(40, 2);
  struct Case {
    std::vector<Spec> terms;
    std::string message;
  };
  const Case cases[] = {
      {{}, "Additive: terms list must be non-empty"},
      {{Spec{Spec::Cr{0, 5}}, Spec{Spec::Cr{2, 5}}},
       "Additive term 1 reads column 2 but x has only 2 columns"},
      // Term order first, then column order; the first offender wins even
      // when an earlier term would fail in its builder.
      {{Spec{Spec::Cr{0, 2}}, Spec{Spec::Te{1, 5, 5, 5}}, Spec{Spec::Re{9}}},
       "Additive term 1 reads column 5 but x has only 2 columns"},
      // Never the thin-plate builder's own column message.
      {{Spec{Spec::Tp{5, {0, 4}}}}, "Additive term 0 reads column 4 but x has only 2 columns"},
      {{Spec{Spec::Cr{0, 5}}, Spec{Spec::Te{0, 1, 2, 5}}}, "CR spline needs k ≥ 3 (got 2)"},
      {{Spec{Spec::Te{1, 1, 5, 5}}},
       "Tensor term must have distinct margin columns (got col_a == col_b == 1)"},
      {{Spec{Spec::Tp{3, {0, 1}}}}, "tps term needs k > d+1 (got k=3, d=2)"},
      {{Spec{Spec::TeMulti{{0, 1}, {5, 5}, {MarginBasis::Cr}}}},
       "n-margin tensor term: cols (2), k (2), bs (1) lengths must match"},
  };
  for (const Case& c : cases) {
    auto r = build_additive_design(c.terms, x.view());
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_EQ(r.error().message, c.message);
  }
  // An x without columns and a non-finite covariate are InvalidParameter too.
  const std::vector<Spec> one = {Spec{Spec::Cr{0, 5}}};
  auto none = build_additive_design(one, Matrix(5, 0).view());
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().message, "Additive term 0 reads column 0 but x has only 0 columns");
  Matrix bad = covariates(40, 2);
  bad(3, 1) = std::numeric_limits<double>::quiet_NaN();
  for (const Spec& s :
       {Spec{Spec::Te{0, 1, 4, 4}}, Spec{Spec::Tp{5, {1, 0}}}, Spec{Spec::Cr{1, 5}}}) {
    const std::vector<Spec> terms = {Spec{Spec::Cr{0, 5}}, s};
    auto r = build_additive_design(terms, bad.view());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
    EXPECT_NE(r.error().message.find("non-finite"), std::string::npos) << r.error().message;
  }
}

// Terms that can share a function of x are named; an interaction next to its
// own lower-order effects is not.
TEST(Confounding, NamesTermsThatMayShareFunctions) {
  Matrix x = covariates(30, 4);
  for (std::size_t i = 0; i < 30; ++i) x(i, 3) = x(i, 1);  // column 3 repeats column 1
  const std::vector<MarginBasis> two = {MarginBasis::Cr, MarginBasis::Cr};
  struct Case {
    std::vector<Spec> terms;
    std::vector<std::string> named;
  };
  const Case cases[] = {
      {{Spec{Spec::Cr{0, 5}}, Spec{Spec::Cr{0, 5}}}, {"term 1 repeats term 0 (cr of column 0)"}},
      {{Spec{Spec::Re{2}}, Spec{Spec::Te{0, 2, 4, 4}}},
       {"term 0 (re of column 2) and term 1 (te of columns 0, 2) both read column 2"}},
      {{Spec{Spec::Cr{0, 5}}, Spec{Spec::Cr{3, 5}}, Spec{Spec::Tp{6, {1, 2}}}},
       {"term 1 (cr of column 3) and term 2 (tp of columns 1, 2) read identical columns 3 and 1 "
        "of x"}},
      // main effects beside their interaction, and unrelated columns
      {{Spec{Spec::Cr{0, 5}}, Spec{Spec::Cr{1, 5}}, Spec{Spec::Ti{{0, 1}, {4, 4}, two}},
        Spec{Spec::Cr{2, 5}}},
       {}},
      {{Spec{Spec::Ti{{0, 1}, {4, 4}, two}}, Spec{Spec::Te{1, 0, 4, 4}}},
       {"term 0 (ti of columns 0, 1) and term 1 (te of columns 1, 0) both read column 0"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(possibly_confounded_terms(c.terms, x.view(), 5), c.named) << c.terms.size();
  }
  // Two margins of one term on identical columns.
  const std::vector<Spec> twins = {Spec{Spec::Te{1, 3, 4, 4}}};
  EXPECT_EQ(
      possibly_confounded_terms(twins, x.view(), 5),
      std::vector<std::string>{"term 0 (te of columns 1, 3) reads identical columns 1 and 3 of x"});
  // At most `limit` pairs.
  const std::vector<Spec> same(4, Spec{Spec::Cr{0, 5}});
  EXPECT_EQ(possibly_confounded_terms(same, x.view(), 2).size(), 2u);
}

// Bases with fewer distinct covariate values than k, counted as the knots
// are placed (values within 1e-12 of the range merge).
TEST(Confounding, NamesBasesWithFewerValuesThanK) {
  Matrix x = covariates(30, 3);
  for (std::size_t i = 0; i < 30; ++i) x(i, 2) = static_cast<double>(i % 3) * (1.0 + 1e-14 * i);
  const std::vector<MarginBasis> two = {MarginBasis::Cr, MarginBasis::Cr};
  const std::vector<Spec> terms = {Spec{Spec::Cr{2, 3}}, Spec{Spec::Cr{2, 4}},
                                   Spec{Spec::Te{0, 2, 5, 5}}, Spec{Spec::Ti{{2, 1}, {4, 4}, two}},
                                   Spec{Spec::Tp{10, {2, 0}}}};
  EXPECT_EQ(
      bases_with_few_values(terms, x.view(), 5, true),
      (std::vector<std::string>{
          "x column 2 has 3 distinct values, fewer than k = 4 of term 1 (cr of column 2)",
          "x column 2 has 3 distinct values, fewer than k = 5 of term 2 (te of columns 0, 2)",
          "x column 2 has 3 distinct values, fewer than k = 4 of term 3 (ti of columns 2, 1)"}));
  EXPECT_EQ(bases_with_few_values(terms, x.view(), 1, false),
            std::vector<std::string>{"x column 2 has 3 distinct values, fewer than k = 4"});
}

TEST(AdditivePredictor, TrainingCovariatesReproduceTheModelMatrixBitForBit) {
  const Matrix x = mixed_covariates(90);
  const std::vector<Spec> terms = mixed_terms();
  auto r = build_additive_design(terms, x.view());
  ASSERT_TRUE(r.ok()) << r.error().message;
  auto e = predictor_evaluate(r.value().predictor, x.view());
  ASSERT_TRUE(e.ok()) << e.error().message;
  ASSERT_TRUE(e.value() == r.value().x);

  // Rows evaluate independently, and columns the terms do not read are
  // ignored: rows 10..19 of a wider x give rows 10..19.
  Matrix wide(10, 6, -7.0);
  for (std::size_t i = 0; i < 10; ++i)
    for (std::size_t c = 0; c < 4; ++c) wide(i, c) = x(10 + i, c);
  auto ew = predictor_evaluate(r.value().predictor, wide.view());
  ASSERT_TRUE(ew.ok());
  for (std::size_t i = 0; i < 10; ++i)
    for (std::size_t j = 0; j < r.value().x.cols(); ++j)
      ASSERT_EQ(ew.value()(i, j), r.value().x(10 + i, j));

  // No rows: 0 x p.
  auto e0 = predictor_evaluate(r.value().predictor, Matrix(0, 4).view());
  ASSERT_TRUE(e0.ok());
  EXPECT_EQ(e0.value().rows(), 0u);
  EXPECT_EQ(e0.value().cols(), r.value().x.cols());
}

TEST(AdditivePredictor, NarrowAndDamagedRecordsAreValueErrors) {
  const Matrix x = mixed_covariates(60);
  const std::vector<Spec> terms = {Spec{Spec::Cr{0, 5}}, Spec{Spec::Te{1, 3, 4, 4}},
                                   Spec{Spec::Cr{2, 5}}};
  auto r = build_additive_design(terms, x.view());
  ASSERT_TRUE(r.ok()) << r.error().message;
  const TermPredictor& pred = r.value().predictor;
  auto narrow = predictor_evaluate(pred, covariates(4, 3).view());
  ASSERT_FALSE(narrow.ok());
  EXPECT_EQ(narrow.error().message,
            "AdditivePredictor: term 1 expects column 3 but x has only 3 columns");

  std::vector<TermPredictor> damaged;
  {
    TermPredictor d = pred;
    std::get<TermPredictor::kAdditive>(d.value).term_cols.pop_back();
    damaged.push_back(d);
  }
  {
    TermPredictor d = pred;
    std::get<TermPredictor::kAdditive>(d.value).term_cols[0].clear();
    damaged.push_back(d);
  }
  {
    // Deeply nested additive records are refused, not recursed into.
    TermPredictor d = pred;
    for (int level = 0; level < 40; ++level) {
      AdditivePredictor outer;
      outer.terms.push_back(d);
      outer.term_cols.push_back({0});
      outer.col_ranges.emplace_back(1, 2);
      d = TermPredictor(std::move(outer));
    }
    damaged.push_back(d);
  }
  for (const TermPredictor& d : damaged) {
    auto e = predictor_evaluate(d, x.view());
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().kind, QueltError::Kind::InvalidParameter) << e.error().message;
  }
  // One level of nesting works: the inner record sees the named column.
  AdditivePredictor outer;
  outer.terms.push_back(TermPredictor(std::get<TermPredictor::kAdditive>([&] {
    const std::vector<Spec> inner = {Spec{Spec::Cr{0, 5}}};
    return build_additive_design(inner, covariates(30, 1).view()).value().predictor;
  }()
                                                                             .value)));
  outer.term_cols.push_back({1});
  outer.col_ranges.emplace_back(1, 5);
  auto nested = predictor_evaluate(TermPredictor(outer), x.view());
  ASSERT_TRUE(nested.ok()) << nested.error().message;
  EXPECT_EQ(nested.value().cols(), 5u);
}

TEST(AdditiveFit, GaussianTensorFitIsAStationaryPointOfTheGroupedScore) {
  // y = a smooth bump in (x0, x1) + noise; one "te" term, two penalties on
  // one block.
  const std::size_t n = 400;
  const Matrix x = covariates(n, 2, 17);
  std::mt19937_64 g(8);
  std::normal_distribution<double> noise(0.0, 0.1);
  Vector y(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = x(i, 0) - 0.3, b = x(i, 1) - 0.6;
    y[i] = std::exp(-(a * a + 2.0 * b * b) / 0.15) + x(i, 0) + noise(g);
  }
  const std::vector<Spec> terms = {Spec{Spec::Te{0, 1, 5, 5}}};
  auto design = build_additive_design(terms, x.view());
  ASSERT_TRUE(design.ok());
  const FitContext<Gaussian> ctx = make_fit_context(design.value(), y, std::nullopt, Gaussian{});
  auto fitted = fit_gaussian(design.value(), y, std::nullopt);
  ASSERT_TRUE(fitted.ok()) << fitted.error().display();
  const Vector rho = fitted.value().rho;
  ASSERT_EQ(rho.size(), 2u);
  for (double r : rho) ASSERT_LT(std::fabs(r), 25.0);  // an interior optimum

  auto gradient_at = [&](const Vector& r) {
    auto s = envelope_score_at_rho(ctx, r);
    EXPECT_TRUE(s.ok());
    return s.value();
  };
  for (double gj : gradient_at(rho).second) EXPECT_LT(std::fabs(gj), 1e-4);
  // Central differences of the score agree with the analytic gradient, at
  // the optimum and away from it (where the gradient is not small).
  const double h = 1e-4;
  for (const Vector& base : {rho, Vector{rho[0] + 1.0, rho[1] - 1.5}}) {
    const Vector analytic = gradient_at(base).second;
    for (std::size_t j = 0; j < 2; ++j) {
      Vector up = base, down = base;
      up[j] += h;
      down[j] -= h;
      const double fd = (gradient_at(up).first - gradient_at(down).first) / (2.0 * h);
      EXPECT_NEAR(analytic[j], fd, 1e-5 * (1.0 + std::fabs(fd))) << j;
    }
  }
}

}  // namespace
}  // namespace quelt

// The design's own penalized system at unit weights: singular exactly when
// two terms hold the same unpenalized function on the rows that count,
// whatever the weights' sizes and in either basis of the coefficients.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "design/additive.hpp"
#include "fit/design_rank.hpp"
#include "inner/coefficient_rotation.hpp"
#include "test_data.hpp"

namespace quelt {
namespace {

using Spec = TermSpec;
const std::vector<MarginBasis> kCr2{MarginBasis::Cr, MarginBasis::Cr};

ModelDesign design_of(const std::vector<Spec>& terms, const Matrix& x) {
  auto d = build_additive_design(terms, x.view());
  EXPECT_TRUE(d.ok()) << d.error().display();
  return std::move(d).value();
}

// The verdict in the design's basis, and in the eigenbasis of the penalties
// after the rotation the fits apply.
struct Verdicts {
  Status design;
  Status eigen;
};
Verdicts verdicts(const ModelDesign& d, const std::optional<Vector>& w) {
  std::vector<Matrix> pen = d.penalties;
  Matrix x = d.x;
  const CoefficientRotation r = rotate_penalties(pen, d.penalty_groups);
  rotate_model_matrix(x, r);
  return {check_design_rank(d.x.view(), w, d.penalties, d.penalty_groups, false),
          check_design_rank(x.view(), w, pen, d.penalty_groups, true)};
}

void expect_singular(const Status& s, const std::string& what) {
  ASSERT_FALSE(s.ok()) << what;
  EXPECT_EQ(s.error().kind, QueltError::Kind::SingularSystem) << what;
  EXPECT_EQ(s.error().message.rfind("the penalized system of the design is singular", 0), 0u)
      << s.error().message;
}

TEST(DesignRank, SingularExactlyWhenTwoTermsShareAnUnpenalizedFunction) {
  struct Case {
    const char* name;
    std::vector<Spec> terms;
    bool singular;
  };
  const std::vector<Case> cases = {
      {"cr0 + cr1", {Spec{Spec::Cr{0, 10}}, Spec{Spec::Cr{1, 10}}}, false},
      {"te01", {Spec{Spec::Te{0, 1, 8, 8}}}, false},
      {"cr0 + cr1 + ti01",
       {Spec{Spec::Cr{0, 8}}, Spec{Spec::Cr{1, 8}}, Spec{Spec::Ti{{0, 1}, {5, 5}, kCr2}}},
       false},
      {"cr0 + re2", {Spec{Spec::Cr{0, 10}}, Spec{Spec::Re{2}}}, false},
      {"tp01", {Spec{Spec::Tp{12, {0, 1}}}}, false},
      {"cr0 + te13", {Spec{Spec::Cr{0, 10}}, Spec{Spec::Te{1, 3, 6, 6}}}, false},
      {"cr0 + te01", {Spec{Spec::Cr{0, 10}}, Spec{Spec::Te{0, 1, 10, 10}}}, true},
      {"cr0 k5 + te01 k5", {Spec{Spec::Cr{0, 5}}, Spec{Spec::Te{0, 1, 5, 5}}}, true},
      {"cr_stable0 + te01", {Spec{Spec::CrStable{0, 10}}, Spec{Spec::Te{0, 1, 6, 6}}}, true},
      {"te01 + te13", {Spec{Spec::Te{0, 1, 6, 6}}, Spec{Spec::Te{1, 3, 6, 6}}}, true},
      {"cr1 + te_multi013",
       {Spec{Spec::Cr{1, 8}},
        Spec{Spec::TeMulti{
            {0, 1, 3}, {4, 4, 4}, {MarginBasis::Cr, MarginBasis::Cr, MarginBasis::Cr}}}},
       true},
  };
  // Seeds and sizes where rounding of the two spline bases leaves the shared
  // line a pivot of up to some 1e-11 (above the solves' 1e-13).
  for (unsigned seed : {1u, 4u, 9u}) {
    for (std::size_t n : {200u, 500u}) {
      Matrix x = testing::uniform_covariates(n, 4, seed);
      for (std::size_t i = 0; i < n; ++i) x(i, 2) = static_cast<double>((i * 7) % 12);
      for (const Case& c : cases) {
        const ModelDesign d = design_of(c.terms, x);
        const Verdicts v = verdicts(d, std::nullopt);
        const std::string what =
            std::string(c.name) + " seed " + std::to_string(seed) + " n " + std::to_string(n);
        if (c.singular) {
          expect_singular(v.design, what + " (design basis)");
          expect_singular(v.eigen, what + " (eigenbasis)");
        } else {
          EXPECT_TRUE(v.design.ok()) << what << ": " << v.design.error().message;
          EXPECT_TRUE(v.eigen.ok()) << what << ": " << v.eigen.error().message;
        }
      }
    }
  }
}

TEST(DesignRank, OnlyRowsOfPositiveWeightCountAndTheirSizeDoesNot) {
  // cr0 + cr1 is sound, unless the rows that count hold one value of
  // column 1: the line of x1 is then the intercept there.
  const std::size_t n = 300;
  Matrix x = testing::uniform_covariates(n, 2, 3);
  for (std::size_t i = 0; i < n; i += 2) x(i, 1) = 0.5;
  const ModelDesign d = design_of({Spec{Spec::Cr{0, 8}}, Spec{Spec::Cr{1, 8}}}, x);
  Vector even(n, 0.0), far(n, 1.0), tiny(n, 1e-300);
  for (std::size_t i = 0; i < n; i += 2) even[i] = 1.0;
  far[7] = 1e300;  // one row 1e300 times the others: the same design
  tiny[0] = 1.0;
  for (const auto& [w, singular] : std::vector<std::pair<std::optional<Vector>, bool>>{
           {std::nullopt, false}, {far, false}, {tiny, false}, {even, true}}) {
    const Verdicts v = verdicts(d, w);
    if (singular) {
      expect_singular(v.design, "rows of one x1 value");
      expect_singular(v.eigen, "rows of one x1 value");
    } else {
      EXPECT_TRUE(v.design.ok()) << v.design.error().message;
      EXPECT_TRUE(v.eigen.ok()) << v.eigen.error().message;
    }
  }
}

TEST(DesignRank, FewDistinctValuesAndNearlyEqualColumnsAreNotSingular) {
  // The penalty holds what the data leave open: a smooth of a column with
  // three values (k = 10), or of a column equal to another to three digits.
  const std::size_t n = 300;
  Matrix x = testing::uniform_covariates(n, 3, 5);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 1) = static_cast<double>(i % 3);
    x(i, 2) = x(i, 0) + 1e-3 * static_cast<double>((i * 37) % 101) / 101.0;
  }
  for (const std::vector<Spec>& terms :
       {std::vector<Spec>{Spec{Spec::Cr{0, 10}}, Spec{Spec::Cr{1, 10}}},
        std::vector<Spec>{Spec{Spec::Cr{0, 10}}, Spec{Spec::Cr{2, 10}}}}) {
    const Verdicts v = verdicts(design_of(terms, x), std::nullopt);
    EXPECT_TRUE(v.design.ok()) << v.design.error().message;
    EXPECT_TRUE(v.eigen.ok()) << v.eigen.error().message;
  }
}

}  // namespace
}  // namespace quelt

// The design's own penalized system at unit weights is singular exactly when
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

TEST(DesignRank, SingularExactlyWhenTermsShareAnUnpenalizedFunctionOnTheRowsThatCount) {
  const std::size_t n = 200;
  Vector far(n, 1.0), even(n, 0.0);
  far[7] = 1e300;  // one weight 1e300 times the others: the same design
  for (std::size_t i = 0; i < n; i += 2) even[i] = 1.0;
  const Spec cr0{Spec::Cr{0, 10}}, cr1{Spec::Cr{1, 8}}, cr2{Spec::Cr{2, 15}}, cr4{Spec::Cr{4, 8}};
  const Spec te01{Spec::Te{0, 1, 6, 6}}, te13{Spec::Te{1, 3, 5, 5}}, re2{Spec::Re{2}};
  const Spec ti01{Spec::Ti{{0, 1}, {5, 5}, {MarginBasis::Cr, MarginBasis::Cr}}};
  const Spec te_multi013{Spec::TeMulti{{0, 1, 3}, {4, 4, 4}, {3, MarginBasis::Cr}}};
  struct Case {
    std::vector<Spec> terms;
    std::optional<Vector> w;
    bool singular;
  };
  const std::vector<Case> cases = {
      {{cr0, cr1}, std::nullopt, false},
      {{cr0, cr1}, far, false},
      {{cr0, cr1, ti01}, std::nullopt, false},
      {{cr0, re2, te13}, std::nullopt, false},
      {{Spec{Spec::Tp{12, {0, 1}}}}, std::nullopt, false},
      // 12 values of column 2 for k = 15: the penalty holds what the data leave open
      {{cr0, cr2}, std::nullopt, false},
      {{cr0, te01}, std::nullopt, true},
      {{cr0, te01}, far, true},
      {{Spec{Spec::CrStable{0, 10}}, te01}, std::nullopt, true},
      {{te01, te13}, std::nullopt, true},
      {{cr1, te_multi013}, std::nullopt, true},
      {{cr0, cr4}, std::nullopt, false},
      {{cr0, cr4}, even, true},  // the rows that count hold one value of column 4
  };
  // Seeds and sizes where rounding of two spline bases on their own knots
  // leaves a shared line a pivot of some 1e-12, above the solves' 1e-13.
  for (unsigned seed : {1u, 4u, 9u}) {
    for (std::size_t rows : {n, 2 * n}) {
      Matrix x = testing::uniform_covariates(rows, 5, seed);
      for (std::size_t i = 0; i < rows; ++i) {
        x(i, 2) = static_cast<double>((i * 7) % 12);
        if (i % 2 == 0) x(i, 4) = 0.5;
      }
      for (std::size_t c = 0; c < cases.size(); ++c) {
        const Case& k = cases[c];
        if (k.w && rows != n) continue;
        auto built = build_additive_design(k.terms, x.view());
        ASSERT_TRUE(built.ok()) << built.error().display();
        const ModelDesign& d = built.value();
        std::vector<Matrix> pen = d.penalties;
        Matrix xr = d.x;
        rotate_model_matrix(xr, rotate_penalties(pen, d.penalty_groups));
        for (const Status& s :
             {check_design_rank(d.x.view(), k.w, d.penalties, d.penalty_groups, false),
              check_design_rank(xr.view(), k.w, pen, d.penalty_groups, true)}) {
          const std::string what = "case " + std::to_string(c) + " seed " + std::to_string(seed);
          ASSERT_EQ(s.ok(), !k.singular) << what;
          if (k.singular) {
            EXPECT_EQ(s.error().message.rfind("the penalized system of the design is singular", 0),
                      0u)
                << what << ": " << s.error().message;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quelt

// The eigenbasis of the penalties: the rotated penalties hold exact zeros on
// their null spaces, the rotation is orthogonal and undone exactly, and a fit
// in the rotated basis is the fit in the design's basis in other coordinates.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "design/additive.hpp"
#include "design/terms.hpp"
#include "inner/coefficient_rotation.hpp"
#include "inner/fit_context.hpp"
#include "inner/pirls.hpp"
#include "score/envelope.hpp"

namespace quelt {
namespace {

struct DesignCase {
  const char* name;
  std::vector<TermSpec> terms;
  std::size_t rotated_blocks;
};

std::vector<DesignCase> design_cases() {
  return {
      {"one cr", {TermSpec{TermSpec::Cr{0, 10}}}, 1},
      {"cr + cr", {TermSpec{TermSpec::Cr{0, 8}}, TermSpec{TermSpec::Cr{1, 6}}}, 2},
      {"te", {TermSpec{TermSpec::Te{0, 1, 4, 5}}}, 1},
      {"cr + re", {TermSpec{TermSpec::Cr{0, 8}}, TermSpec{TermSpec::Re{2}}}, 1},
  };
}

Matrix covariates(std::size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Matrix x(n, 3);
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = u(gen);
    x(i, 1) = u(gen);
    x(i, 2) = static_cast<double>(i % 7);  // seven random-effect levels
  }
  return x;
}

double max_abs_entry(const Matrix& a) {
  double m = 0.0;
  for (double v : a.storage()) m = std::fmax(m, std::fabs(v));
  return m;
}

TEST(CoefficientRotation, PenaltiesBecomeExactOnTheirNullSpaces) {
  const Matrix x = covariates(300, 5);
  for (const DesignCase& c : design_cases()) {
    SCOPED_TRACE(c.name);
    auto d = build_additive_design(c.terms, x.view());
    ASSERT_TRUE(d.ok()) << d.error().display();
    const ModelDesign& design = d.value();
    std::vector<Matrix> pens = design.penalties;
    const CoefficientRotation r = rotate_penalties(pens, design.penalty_groups);
    ASSERT_EQ(r.blocks.size(), c.rotated_blocks);
    const std::size_t p = design.x.cols();
    // Undoing the rotation gives back each penalty to rounding.
    for (std::size_t j = 0; j < pens.size(); ++j) {
      const Matrix back = covariance_to_design(r, pens[j]);
      for (std::size_t i = 0; i < back.size(); ++i)
        EXPECT_NEAR(back.data()[i], design.penalties[j].data()[i],
                    1e-12 * max_abs_entry(design.penalties[j]));
    }
    // X̃ = X·U: the design's diagonal of XᵀX and its columns read back from
    // the rotated basis.
    Matrix xr = design.x;
    rotate_model_matrix(xr, r);
    const Matrix g0 = xtwx(design.x.view(), nullptr);
    const Vector diag = design_diagonal(r, xtwx(xr.view(), nullptr));
    for (std::size_t k = 0; k < p; ++k) {
      EXPECT_NEAR(diag[k], g0(k, k), 1e-11 * max_abs_entry(g0));
      const Vector col = matvec(xr.view(), design_axis(r, k, p));
      for (std::size_t i = 0; i < col.size(); i += 37) EXPECT_NEAR(col[i], design.x(i, k), 1e-13);
    }
    // A penalty alone in its group is diagonal, with exactly p − rank zeros
    // of its own beside the unpenalized coefficients; a tensor's penalties
    // share exact zero rows on their joint null space.
    for (std::size_t g = 0; g < design.penalty_groups.size(); ++g) {
      const auto& members = design.penalty_groups[g];
      std::size_t zero_rows = 0;
      for (std::size_t a = 0; a < p; ++a) {
        bool all_zero = true;
        for (std::size_t j : members)
          for (std::size_t b = 0; b < p; ++b) all_zero = all_zero && pens[j](a, b) == 0.0;
        zero_rows += all_zero ? 1 : 0;
      }
      if (members.size() == 1) {
        const Matrix& s = pens[members[0]];
        for (std::size_t a = 0; a < p; ++a)
          for (std::size_t b = 0; b < p; ++b) EXPECT_TRUE(a == b || s(a, b) == 0.0);
        EXPECT_EQ(zero_rows, p - design.penalty_ranks[members[0]]);
      } else {
        EXPECT_EQ(zero_rows, design.null_space_dim);
      }
    }
  }
}

TEST(CoefficientRotation, FitInTheEigenbasisIsTheSameFitAtOrdinaryRho) {
  const std::size_t n = 400;
  const Matrix x = covariates(n, 9);
  Vector y(n);
  std::mt19937_64 gen(3);
  for (std::size_t i = 0; i < n; ++i)
    y[i] = std::poisson_distribution<int>(std::exp(0.5 + std::sin(6.0 * x(i, 0)) + 0.5 * x(i, 1)))(
        gen);
  for (const DesignCase& c : design_cases()) {
    SCOPED_TRACE(c.name);
    auto d = build_additive_design(c.terms, x.view());
    ASSERT_TRUE(d.ok());
    FitContext<Poisson> plain = make_fit_context<Poisson>(d.value(), y, std::nullopt, Poisson{});
    FitContext<Poisson> rotated = make_fit_context<Poisson>(d.value(), y, std::nullopt, Poisson{});
    use_penalty_eigenbasis(rotated);
    const Vector rho(plain.m(), 2.0);
    auto a = fit_at_rho(plain, rho);
    auto b = fit_at_rho(rotated, rho);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_NEAR(b.value().deviance, a.value().deviance, 1e-10 * a.value().deviance);
    const Vector beta = coefficients_to_design(rotated.rotation, b.value().beta);
    for (std::size_t k = 0; k < beta.size(); ++k)
      EXPECT_NEAR(beta[k], a.value().beta[k], 1e-8 * (1.0 + std::fabs(a.value().beta[k])));
    auto sa = envelope_score(plain, rho, a.value());
    auto sb = envelope_score(rotated, rho, b.value());
    ASSERT_TRUE(sa.ok() && sb.ok());
    EXPECT_NEAR(sb.value().score, sa.value().score, 1e-9 * std::fabs(sa.value().score));
    for (std::size_t j = 0; j < rho.size(); ++j)
      EXPECT_NEAR(sb.value().grad[j], sa.value().grad[j], 1e-7);
  }
}

}  // namespace
}  // namespace quelt

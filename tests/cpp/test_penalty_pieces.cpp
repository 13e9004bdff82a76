#include <gtest/gtest.h>

#include <cmath>

#include "core/blas.hpp"
#include "fit/edf_vcov.hpp"
#include "inner/pirls.hpp"
#include "inner_problems.hpp"
#include "score/penalty_pieces.hpp"

namespace quelt {
namespace {

// H = XᵀWX + Σ_j λ_j S_j, so p − Σ_j λ_j tr(H⁻¹S_j) = tr(H⁻¹XᵀWX), the
// effective degrees of freedom formed from the fit's weights; and
// D_p − D = Σ_j λ_j βᵀS_jβ sums the penalties' shares of the coefficients.
// Checked on overlapping and separate penalties, from almost no smoothing
// to almost all.
TEST(PenaltyPieces, TracesLeaveTheEffectiveDegreesOfFreedom) {
  const testing::Problem pr = testing::bump_problem(240, 2, 6, 41);
  const Vector f = testing::signal(pr, 0.7, 0.3);
  FitContext<Poisson> ctx = make_fit_context(pr.design, testing::poisson_draws(f, 5), std::nullopt,
                                             Poisson{}, InnerOptions{});
  // A third penalty on the bumps of both covariates at once overlaps the two.
  const std::size_t p = ctx.p();
  Matrix both(p, p);
  for (std::size_t a = 0; a < p; ++a) both(a, a) = ctx.penalties[0](a, a) + ctx.penalties[1](a, a);
  ctx.penalties.push_back(both);
  ctx.penalty_ranks.push_back(12);
  ctx.penalty_log_pdets.push_back(0.0);
  ctx.penalty_groups = {{0, 1, 2}};
  for (const Vector& rho : {Vector{-8.0, -8.0, -8.0}, Vector{0.5, 2.0, -1.0}, Vector{9.0, 9.0, 9.0},
                            Vector{1.0, -2.0, 0.0, 4.0}}) {
    auto fit = pirls(ctx, total_penalty(ctx.penalties, rho, p));
    ASSERT_TRUE(fit.ok());
    const InnerFit& ft = fit.value();
    const PenaltyPieces pc = penalty_pieces(ctx, ft, rho);
    ASSERT_EQ(pc.lambda.size(), rho.size());
    ASSERT_EQ(pc.trace.size(), 3u);
    const double edf = compute_edf_total(ctx.x.view(), ft.w, ft.chol);
    EXPECT_NEAR(static_cast<double>(p) - pc.trace_total, edf, 1e-9 * static_cast<double>(p))
        << rho[0];
    double penalty = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
      const Vector sb = matvec(ctx.penalties[j].view(), ft.beta);
      double b = 0.0;
      for (std::size_t a = 0; a < p; ++a) b += ft.beta[a] * sb[a];
      penalty += std::exp(rho[j]) * b;
      EXPECT_GE(pc.trace[j], 0.0);
    }
    EXPECT_NEAR(pc.dp - ft.deviance, penalty, 1e-10 * (std::fabs(penalty) + 1.0)) << rho[0];
  }
}

}  // namespace
}  // namespace quelt

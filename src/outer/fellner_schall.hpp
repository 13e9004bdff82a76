// Fellner-Schall updates of the log smoothing parameters.
//
// At a fit with coefficients β and penalized Hessian H = XᵀWX + S_λ, the
// restricted likelihood is stationary in ρ_j when
//   βᵀS_jβ / φ = ∂log|S_λ|₊/∂λ_j − tr(H⁻¹S_j),
// so each iteration refits at the current ρ and moves every λ_j by the ratio
// of the two sides:
//   λ_j ← λ_j · φ·(∂log|S_λ|₊/∂λ_j − tr(H⁻¹S_j)) / βᵀS_jβ,
// on the log scale with the move clamped to ±3 and ρ_j kept in
// [ρ⁰_j + ln 1e-9, ρ⁰_j + ln 1e7] around the start ρ⁰ (outer/outer_frame.hpp:
// the start, and with it the box, follows the units of y and of the
// weights). ∂log|S_λ|₊/∂λ_j is the penalty-group gradient over ρ_j
// divided by λ_j (r_j/λ_j for a penalty acting alone on its block). φ is the
// scale estimate of the score at the current fit for the families whose
// scale is estimated; without it their fixed point over- or under-smooths by
// the factor φ. No score is minimised and no line search runs.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/linalg.hpp"
#include "core/matrix.hpp"
#include "design/penalty_groups.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/pirls.hpp"
#include "score/envelope.hpp"

namespace quelt {

// Bounds of ρ_j − ρ⁰_j on the Fellner-Schall path: λ_j/λ⁰_j within
// [1e-9, 1e7].
inline constexpr double kFsRhoLo = -20.72326583694641;
inline constexpr double kFsRhoHi = 16.11809565095832;
inline constexpr std::uint64_t kFsMaxIter = 200;
inline constexpr double kFsTol = 1e-6;
// Floor of the numerator r/λ − tr(H⁻¹S_j), relative to r/λ.
inline constexpr double kFsRelFloor = 1e-10;

struct FellnerSchallResult {
  Vector rho;
  std::uint64_t n_iters = 0;
  bool converged = false;
};

// One coordinate's update: with λ = exp(rho) and g = dlogdet_drho/λ,
//   a = max(g − trace, 1e-10·g),
//   u = ln(scale·a / bsb),
// returns rho + min(max(u, −3), 3) clamped into [center + kFsRhoLo,
// center + kFsRhoHi]. A NaN u counts as −3; a scale that is not finite and
// positive counts as 1. λ and bsb are kept above the smallest normal number
// (βᵀSβ = 0 moves ρ up by 3). The floor of a is relative to g, not absolute,
// so that the update is the same in any units of y.
double fellner_schall_update(double rho, double dlogdet_drho, double trace, double bsb,
                             double scale, double center = 0.0);

// Runs the updates from ρ = start (one entry per penalty) until the largest move is below 1e-6
// (converged) or 200 iterations have run (not converged; not an error).
// Each iteration adds 1 to outer_iterations and counts its inner fit in
// inner_pirls_calls and inner_pirls_iterations_total; fits after the first
// start from the previous coefficients. An inner-fit error ends the run and
// is returned unchanged. The returned ρ is the last updated vector, not yet
// refitted.
template <class Family>
Result<FellnerSchallResult> fellner_schall(FitContext<Family>& ctx, const Vector& start) {
  const std::size_t m = ctx.m();
  const std::size_t p = ctx.p();
  check_invariant(start.size() == m, "fellner_schall: one start value per penalty");
  Vector rho = start;
  std::optional<Vector> beta_start;
  std::uint64_t count = 0;
  for (;;) {
    ctx.fit_stats.outer_iterations += 1;
    QUELT_TRY(InnerFit fit, pirls(ctx, total_penalty(ctx.penalties, rho, p), beta_start));
    ctx.fit_stats.inner_pirls_calls += 1;
    ctx.fit_stats.inner_pirls_iterations_total += fit.iterations;

    double scale = 1.0;
    if constexpr (Family::scale == Scale::Estimated) {
      QUELT_TRY(auto es, envelope_score(ctx, rho, fit));
      scale = es.scale;
    }
    const PenaltyLogDet logdet = penalty_log_det(ctx.penalties, ctx.penalty_ranks,
                                                 ctx.penalty_log_pdets, ctx.penalty_groups, rho);
    const Matrix hinv = inverse_from_cholesky(fit.chol.view());

    Vector next(m);
    double delta = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      const double t = frobenius_dot(hinv, ctx.penalties[j]);
      const double q = quadratic_form(ctx.penalties[j], fit.beta);
      next[j] = fellner_schall_update(rho[j], logdet.grad[j], t, q, scale, start[j]);
      delta = std::fmax(delta, std::fabs(next[j] - rho[j]));
    }
    rho = std::move(next);
    count += 1;
    beta_start = std::move(fit.beta);
    ctx.scratch.give_fit(fit);
    if (delta < kFsTol) return FellnerSchallResult{rho, count, true};
    if (count == kFsMaxIter) return FellnerSchallResult{rho, count, false};
  }
}

}  // namespace quelt

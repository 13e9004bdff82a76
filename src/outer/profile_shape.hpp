// The profile-shape search of the negative binomial fit over θ = [ρ, log θ]:
// each iteration a damped Newton step in ρ at fixed log θ, then a safeguarded
// one-dimensional Newton step in log θ on the fit just made.
//
// Iteration at the current point (its evaluation E from
// negbin_eval_score_grad_hess: score f, ρ-gradient g, ρ–ρ Hessian; the
// frozen-fit scores s± at log θ ± 0.001 on E's fit, clamped into [−10, 10],
// give g_θ = (s₊ − s₋)/0.002 and κ = max(|s₊ − 2f + s₋|/10⁻⁶, 10⁻⁴)):
//   1. Tests, with a = |f − origin| and G = max(max|g|, |g_θ|) (g_θ taken
//      as 0 where it points out of the box at a bound), made only once the
//      steps of 2 and 3 are predicted to lower the score by less than
//      visible_change (outer/newton.hpp: the predicted gain of the ρ step
//      plus −g_θ times the log θ step): converged when G < grad_tol·(a + 1), or, after
//      three iterations, when |f − f_prev|/max(a, 1) < reml_tol. The log θ derivative is part of
//      the tests because log θ moves by at most its cap per iteration: with the ρ-gradient alone a
//      search from a far θ stops where θ happens to be.
//   2. ρ step: d solves the Hessian with its eigenvalues floored at 1e-8
//      (outer/newton.hpp), scaled so that no |d_i| passes its cap; trials
//      ρ + α·d (α = 1, ½, … while α ≥ min_step, at most one trial once the
//      score has nearly stopped changing) clamped into the box, log θ held.
//      A trial is first screened (outer/no_refresh_screen.hpp): a prediction
//      at or above f − 1e-10·|f − origin| (the uncapped magnitude) rejects
//      it without a refit; otherwise it is refitted and accepted when its
//      score is finite and below that threshold. An accepted point is
//      evaluated (a failed evaluation drops it).
//   3. log θ step at the current point ℓ with its refitted score f₀ and its
//      g_θ, κ: δ = −g_θ/κ limited to the cap (a NaN δ taking the lower end);
//      ℓ + δ, else ℓ + δ/2, is taken when its frozen score is finite and
//      below f₀. A move of ℓ is followed by a full evaluation there, whose
//      error ends the search.
//   When neither ρ nor log θ moved, the search ends at the point, converged
//   when log θ's |g_θ| < 0.001·(|f − origin| + 1) and either the ρ step
//   points out of the box on every coordinate that matters or max|g| is
//   below that bound too (uncapped: the trials failed against the score's
//   noise, which grows with the score).
// Counts in the context's FitStats: outer_iterations per iteration top,
// line_search_trials and no_refresh_attempts per trial (always equal),
// no_refresh_hits per trial the screen predicts; inner fits through the
// refits. After max_iter iterations without a converged or ended exit:
// NotConverged {max_iter, G}.
#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "outer/newton.hpp"

namespace quelt {

struct ProfileShapeOptions {
  std::uint64_t max_iter = 200;  // iterations that reach a line search
  double grad_tol = 5e-6;
  double reml_tol = 1e-6;
  double min_step = 0.001;  // smallest step factor of a ρ trial
  // Predicted gain of the next steps below which the tests may end the
  // search (OuterOptions::visible_change).
  double visible_change = kVisibleScoreChange;
};

struct ProfileShapeResult {
  Vector theta;  // the final point, m + 1 entries
  double score = 0.0;
  double grad_norm = 0.0;  // max|g| over ρ at the final point's tests
  std::uint64_t n_iters = 0;
  bool converged = false;
};

// theta0 (m + 1 entries) is clamped into `bounds`; `step_caps` has one cap
// per coordinate, the last that of log θ. Errors: the first evaluation's,
// the evaluation's after a move of log θ, NotConverged.
Result<ProfileShapeResult> profile_shape_fit_negbin(const ProfileShapeOptions& options,
                                                    FitContext<NegBin>& ctx, const Vector& theta0,
                                                    const Bounds& bounds, const Vector& step_caps,
                                                    double score_origin);

}  // namespace quelt

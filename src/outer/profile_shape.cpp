#include "outer/profile_shape.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "outer/no_refresh_screen.hpp"
#include "score/negbin_eval.hpp"
#include "score/shape_negbin.hpp"
#include "score/shape_score.hpp"

namespace quelt {

namespace {

// The step of the central differences in log θ.
constexpr double kShapeStep = kNegBinShapeStep;
// The least curvature the log θ step divides by: a flat or concave frozen
// score gives a step of at most |g|·10⁴, then held by the cap.
constexpr double kShapeCurvatureMin = 1e-4;
// A trial must lower the score by this share of its magnitude, more than
// the rounding of the score.
constexpr double kDecreaseRel = 1e-10;
// A relative change of the score below which, after three iterations, a
// single ρ trial is made.
constexpr double kSlowChange = 1e-4;

// Whether the ρ trial u is accepted: screened, then refitted and scored.
bool try_trial(FitContext<NegBin>& ctx, const Vector& u, double threshold) {
  const std::size_t m = ctx.m();
  ctx.fit_stats.line_search_trials += 1;
  ctx.fit_stats.no_refresh_attempts += 1;
  if (const std::optional<double> predicted = no_refresh_trial_score(ctx, u)) {
    ctx.fit_stats.no_refresh_hits += 1;
    if (!(*predicted < threshold)) return false;
  }
  auto r = refit_at_theta(ctx, u);
  if (!r.ok()) return false;
  ThetaRefit<NegBin> refit = std::move(r).value();
  const double v = laml_score(ctx, refit.fit, refit.family, std::span<const double>(u).first(m));
  ctx.scratch.give_fit(refit.fit);
  return std::isfinite(v) && v < threshold;
}

// The frozen-fit score at log θ = t on E's fit.
double frozen(const FitContext<NegBin>& ctx, const NegBinEval& e, Vector theta, double t) {
  theta.back() = t;
  return negbin_score_at_theta(ctx, e.fit, theta);
}

// The central differences of the frozen-fit score in log θ at theta's last
// entry ℓ on E's fit (made there), each side clamped into [lo, hi].
struct ShapeDiff {
  double g = 0.0;      // (s₊ − s₋)/0.002
  double kappa = 0.0;  // max(|s₊ − 2f₀ + s₋|/10⁻⁶, 10⁻⁴)
  bool finite = false;
};

ShapeDiff shape_diff(const FitContext<NegBin>& ctx, const NegBinEval& e, const Vector& theta,
                     double lo, double hi) {
  const double ell = theta.back(), f0 = e.score;
  const double sp = frozen(ctx, e, theta, clamp_into(ell + kShapeStep, lo, hi));
  const double sm = frozen(ctx, e, theta, clamp_into(ell - kShapeStep, lo, hi));
  ShapeDiff d;
  d.finite = std::isfinite(sp) && std::isfinite(sm);
  d.g = (sp - sm) / (2.0 * kShapeStep);
  d.kappa =
      std::fmax(std::fabs(sp - 2.0 * f0 + sm) / (kShapeStep * kShapeStep), kShapeCurvatureMin);
  return d;
}

// The log θ derivative the tests see: 0 where it points out of [lo, hi] at
// a bound (the search stays there) or cannot be formed.
double shape_gradient_in_box(const ShapeDiff& d, double ell, double lo, double hi) {
  if (!d.finite) return 0.0;
  if ((ell >= hi && d.g < 0.0) || (ell <= lo && d.g > 0.0)) return 0.0;
  return d.g;
}

// What the log θ step from ℓ would gain to first order: −g·(t − ℓ),
// t = ℓ + δ clamped into [lo, hi], δ = −g/κ within ±cap, g the derivative
// the tests see (shape_gradient_in_box; κ, a magnitude, carries no sign of
// the curvature).
double shape_step_gain(const ShapeDiff& d, double g, double ell, double lo, double hi, double cap) {
  if (!d.finite || g == 0.0) return 0.0;
  const double delta = std::fmin(std::fmax(-g / d.kappa, -cap), cap);
  return -g * (clamp_into(ell + delta, lo, hi) - ell);
}

// The new log θ after the safeguarded Newton step from ℓ: ℓ + δ, else
// ℓ + δ/2, δ = −g/κ within ±cap (NaN → −cap), when its frozen score is finite
// and below f₀; ℓ itself otherwise.
double shape_move(const FitContext<NegBin>& ctx, const NegBinEval& e, const Vector& theta,
                  const ShapeDiff& d, double lo, double hi, double cap) {
  const double ell = theta.back();
  if (!d.finite) return ell;
  const double delta = std::fmin(std::fmax(-d.g / d.kappa, -cap), cap);
  for (const double frac : {1.0, 0.5}) {
    const double t = clamp_into(ell + frac * delta, lo, hi);
    const double s = frozen(ctx, e, theta, t);
    if (std::isfinite(s) && s < e.score) return t;
  }
  return ell;
}

}  // namespace

Result<ProfileShapeResult> profile_shape_fit_negbin(const ProfileShapeOptions& options,
                                                    FitContext<NegBin>& ctx, const Vector& theta0,
                                                    const Bounds& bounds, const Vector& step_caps,
                                                    double score_origin) {
  const std::size_t m = ctx.m(), nt = m + 1;
  check_invariant(theta0.size() == nt && step_caps.size() == nt,
                  "profile_shape_fit_negbin: start or caps without m + 1 entries");
  check_bounds(bounds, nt);
  FitStats& stats = ctx.fit_stats;
  const Bounds rho_bounds(bounds.begin(), bounds.begin() + static_cast<std::ptrdiff_t>(m));
  const Vector rho_caps(step_caps.begin(), step_caps.begin() + static_cast<std::ptrdiff_t>(m));
  const auto [lo, hi] = bounds[m];

  Vector theta(nt);
  for (std::size_t i = 0; i < nt; ++i)
    theta[i] = clamp_into(theta0[i], bounds[i].first, bounds[i].second);
  QUELT_TRY(NegBinEval e, negbin_eval_score_grad_hess(ctx, theta));
  if (options.max_iter == 0) return QueltError::not_converged(0, max_abs(e.grad));
  ShapeDiff sd = shape_diff(ctx, e, theta, lo, hi);

  std::uint64_t k = 0;
  double prev = std::numeric_limits<double>::infinity();
  for (;;) {
    stats.outer_iterations += 1;
    const double f = e.score;
    const double a = std::fabs(f - score_origin);
    const double g_rho = max_abs(e.grad);
    const double g_theta = shape_gradient_in_box(sd, theta[m], lo, hi);
    const double gmax = std::fmax(g_rho, std::fabs(g_theta));
    const double rel_change = std::fabs(f - prev) / floor_at(a, 1.0);

    // The ρ step at fixed log θ; the tests pass only once it and the log θ
    // step could not lower the score visibly (kVisibleScoreChange).
    const Vector rho(theta.begin(), theta.begin() + static_cast<std::ptrdiff_t>(m));
    Vector d = newton_direction(e.hessian, e.grad);
    bound_step(d, rho_caps, 0.0);
    const double gain = predicted_gain(rho, d, e.grad, e.hessian, rho_bounds) +
                        shape_step_gain(sd, g_theta, theta[m], lo, hi, step_caps[m]);
    if (!(gain >= options.visible_change)) {
      if (gmax < options.grad_tol * (a + 1.0)) return ProfileShapeResult{theta, f, gmax, k, true};
      if (k > 2 && rel_change < options.reml_tol)
        return ProfileShapeResult{theta, f, gmax, k, true};
    }
    if (k == options.max_iter) return QueltError::not_converged(options.max_iter, gmax);

    const double a_budget = score_test_magnitude(f, score_origin);
    const bool slow = std::fabs(f - prev) / floor_at(a_budget, 1.0) < kSlowChange;
    const int budget = (k > 2 && slow) ? 1 : 10;
    k += 1;
    const double threshold = f - kDecreaseRel * a;
    Vector u = theta;
    bool accepted = false;
    double alpha = 1.0;
    for (int j = 0;; ++j) {
      for (std::size_t i = 0; i < m; ++i)
        u[i] = clamp_into(theta[i] + alpha * d[i], bounds[i].first, bounds[i].second);
      if (try_trial(ctx, u, threshold)) {
        accepted = true;
        break;
      }
      alpha *= 0.5;
      if (alpha < options.min_step || j + 1 == budget) break;
    }
    // A point whose evaluation fails is dropped as if no trial had passed.
    bool rho_moved = false;
    if (accepted) {
      auto next = negbin_eval_score_grad_hess(ctx, u);
      if (next.ok()) {
        ctx.scratch.give_fit(e.fit);
        e = std::move(next).value();
        theta = u;
        sd = shape_diff(ctx, e, theta, lo, hi);
        rho_moved = true;
      }
    }

    // The log θ step on the fit of the current point.
    const double ell = theta[m];
    const double moved = shape_move(ctx, e, theta, sd, lo, hi, step_caps[m]);
    if (moved != ell) {
      theta[m] = moved;
      QUELT_TRY(NegBinEval re, negbin_eval_score_grad_hess(ctx, theta));
      ctx.scratch.give_fit(e.fit);
      e = std::move(re);
      sd = shape_diff(ctx, e, theta, lo, hi);
    } else if (!rho_moved) {
      // Neither coordinate could move: the search ends at this point,
      // converged when the ρ step points out of the box on every coordinate
      // that matters or the ρ-gradient is nearly zero, and the log θ
      // derivative is nearly zero as well.
      const double loose = 0.001 * (a + 1.0);
      const bool rho_done = step_pinned(rho, d, rho_bounds) || g_rho < loose;
      return ProfileShapeResult{theta, f, gmax, k, rho_done && std::fabs(g_theta) < loose};
    }
    prev = f;
  }
}

}  // namespace quelt

// Damped Newton minimisation of an outer score over a box.
//
// At the current point x the driver's evaluation gives the score s, its
// gradient g and Hessian H. The Hessian is made symmetric positive definite
// (eigenvalues floored at 1e-8), the Newton step d solves Hc·d = −g, d is
// bounded (largest component `max_step`, or per-coordinate caps), and the
// points x + α·d, α = 1, 1/2, …, 1/512 (clamped into the box) are scored
// until one lies below s − 1e-10·a. The loop stops, converged, when the
// step from x is predicted to lower the score by less than the visible
// change (OuterOptions::visible_change, 10⁻³ at the default tolerances)
// and either the gradient is small relative to a or
// the score has stopped changing relative to a. It also stops when no trial
// lowers the score or none could (the step's predicted gain is below the
// margin 1e-10·a); converged then only if the step points out of the box on
// every coordinate that matters, or the gradient is nearly zero.
//
// The magnitude a = |s − origin| measures the score from an origin that the
// driver chooses so that a change of units, which shifts the score by a
// constant, leaves a unchanged (score/data_units.hpp); with origin 0 it is
// |s|. The relative tests, the acceptance threshold and the loose gradient
// test after an exhausted line search use a itself; the trial budget uses a
// capped at kScoreMagnitudeCap (score_test_magnitude).
//
// Convergence is only ever declared on a gradient evaluated at the current
// point and never at an inadmissible point (score kInadmissibleScore with a
// zero gradient, score/score_record.hpp: the scale could not be estimated
// there, so the zero gradient says nothing about optimality).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "core/numeric.hpp"
#include "family/families.hpp"
#include "inner/fit_stats.hpp"
#include "outer/settings.hpp"
#include "score/score_record.hpp"

namespace quelt {

// One (lo, hi) pair per outer coordinate, lo ≤ hi.
using Bounds = std::vector<std::pair<double, double>>;

struct OuterResult {
  Vector rho;                 // the final point
  double score = 0.0;         // its score
  std::uint64_t n_iters = 0;  // Newton steps started
  bool converged = false;
};

// Largest absolute entry, NaN entries ignored, starting from 0.0.
double max_abs(const Vector& v);

// v clamped into [lo, hi]: below lo gives lo, then above hi gives hi; NaN
// stays NaN.
inline double clamp_into(double v, double lo, double hi) {
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return v;
}

// Every pair ordered and free of NaN, one pair per coordinate; a violation
// is an invariant failure.
void check_bounds(const Bounds& bounds, std::size_t n);

// The Hessian made symmetric positive definite: order 1 floors the entry at
// 1e-8 (NaN stays); order ≥ 2 symmetrises, then rebuilds Σ_k max(λ_k, 1e-8)
// v_k v_kᵀ from the eigenpairs (a NaN eigenvalue counts as 1e-8), or, when
// the eigensolver fails, floors the diagonal of the symmetric copy at 1e-8.
Matrix condition_outer_hessian(const Matrix& H);

// The Newton direction: the solution of condition_outer_hessian(H)·d = −g by
// LU with partial pivoting, or −g when the factorisation or solve fails.
Vector newton_direction(const Matrix& H, const Vector& grad);

// Bounds the step in place. Without caps: scaled so that its largest
// component is at most max_step. With caps: scaled by t = min(1, cap_i/|d_i|)
// over the coordinates with d_i neither 0 nor NaN.
void bound_step(Vector& d, const std::optional<Vector>& caps, double max_step);

// True when some step component is non-negligible (|d_i| > 1e-12·max(|x_i|,1))
// and every such component points out of the box at a coordinate that sits
// on that bound.
bool step_pinned(const Vector& x, const Vector& d, const Bounds& bounds);

// The options of one run: the calling thread's tuning override, when set,
// replaces all four defaults as it stands; otherwise the defaults.
OuterOptions read_outer_options(const OuterOptions& defaults);

// Why a converged search also asks that its next step gain less than
// OuterOptions::visible_change. The score grows like the number of
// observations, but its gradient over ρ is of the order of the penalties'
// ranks and the score differences that decide λ have a fixed size whatever
// n, so tests relative to the score alone pass ever further from the
// optimum as n grows (at 10⁶ observations a search could stop at its
// start, edf 19 against 10.75). A bound on the predicted gain stops a
// search where a further step could not change the fit visibly, at any n,
// and asks for no step that cannot: tests relative to a score capped at
// 10³, which had the same aim, cost an extra step at 10⁵ observations that
// moved the score by 10⁻⁶, and let a search whose flat direction still
// held a gain of 0.5 stop short. The bound stays reachable: at 10⁶
// observations inner fits of one ρ from different starts give scores
// within about 10⁻⁸.

// What the step d from x would gain: with u = x + d clamped into the box
// and s = u − x, the first-order gain −gᵀs, plus −½ sᵀHs where the raw
// Hessian H (not the conditioned one the step solves with) curves the
// score down along s (a Newton step on a convex quadratic gains half of
// −gᵀs; beyond a concave stretch, more than all of it). A NaN curvature
// counts as none.
double predicted_gain(const Vector& x, const Vector& d, const Vector& grad, const Matrix& hessian,
                      const Bounds& bounds);

// The size of the score the trial budget is relative to: |s − origin|
// capped at kScoreMagnitudeCap (NaN staying NaN), so that at any n a single
// trial is made only once the score changes by less than about 0.1 per
// step. A search that failed its single trial would end there, judged by
// its gradient alone.
inline constexpr double kScoreMagnitudeCap = 1e3;
inline double score_test_magnitude(double s, double origin) {
  const double a = std::fabs(s - origin);
  return a > kScoreMagnitudeCap ? kScoreMagnitudeCap : a;
}

// Largest number of accepted Newton steps of a driver's loop, and the
// largest component of one step (a factor e⁵ ≈ 150 in any λ_j).
inline constexpr std::uint64_t kOuterMaxIter = 200;
inline constexpr double kOuterMaxStep = 5.0;

// The visible change that goes with a gradient tolerance: a tolerance c
// times the family's default (`default_grad_tol`) asks for gains below
// c·kVisibleScoreChange, so that a tuning override tightens or loosens
// both tests of a search together.
inline double visible_change_for(double grad_tol, double default_grad_tol) {
  return kVisibleScoreChange * (grad_tol / default_grad_tol);
}

// The options of a driver's loop: the family's default tolerances
// (Family::outer_tolerances) with kOuterMaxIter and kOuterMaxStep, or the
// calling thread's tuning override in their place; the visible change
// follows the gradient tolerance in force.
inline OuterOptions driver_outer_options(const OuterTolerances& tol) {
  OuterOptions o =
      read_outer_options(OuterOptions{tol.grad, tol.reml, kOuterMaxIter, kOuterMaxStep});
  o.visible_change = visible_change_for(o.grad_tol, tol.grad);
  return o;
}

// Damped Newton loop.
//   evaluate(const Vector& x) -> Result<E>, E with fields `grad` (Vector),
//     `score` (double) and `hessian` (Matrix): the full evaluation;
//   trial_score(const Vector& x) -> Result<double>: the score alone at a
//     trial point; an error or a non-finite score only rejects the trial.
// score_origin: the origin of the magnitude a = |score − origin| against
//   which the gradient and score-change tests are relative.
// Adds to stats.outer_iterations and stats.line_search_trials. Errors: the
// first evaluation's error unchanged; NotConverged {max_iter, max|grad|} when
// max_iter accepted steps end without a converged exit (the point reached by
// the last step is tested first).
template <class Evaluate, class TrialScore>
Result<OuterResult> outer_newton(const Vector& start, const Bounds& bounds,
                                 const std::optional<Vector>& step_caps,
                                 const OuterOptions& options, Evaluate&& evaluate,
                                 TrialScore&& trial_score, FitStats& stats,
                                 double score_origin = 0.0) {
  const std::size_t n = start.size();
  check_bounds(bounds, n);
  check_invariant(!step_caps || step_caps->size() == n,
                  "outer_newton: step caps must have one entry per coordinate");

  Vector x(n);
  for (std::size_t i = 0; i < n; ++i)
    x[i] = clamp_into(start[i], bounds[i].first, bounds[i].second);

  QUELT_TRY(auto E, evaluate(x));
  if (options.max_iter == 0) return QueltError::not_converged(0, max_abs(E.grad));

  // The gradient of E belongs to x (false after a failed re-evaluation at an
  // accepted point, when E keeps the previous point's gradient and Hessian).
  bool fresh = true;
  std::uint64_t k = 0;
  double prev = std::numeric_limits<double>::infinity();

  for (;;) {
    stats.outer_iterations += 1;
    const double s = E.score;
    const double a = std::fabs(s - score_origin);
    const double gmax = max_abs(E.grad);
    const bool inadmissible = s == kInadmissibleScore && gmax == 0.0;
    const bool gradient_usable = fresh && !inadmissible;
    const double rel_change = std::fabs(s - prev) / floor_at(a, 1.0);

    Vector d = newton_direction(E.hessian, E.grad);
    bound_step(d, step_caps, options.max_step);
    // A step that could still gain visibly is taken whatever the relative
    // tests say; a stale gradient predicts nothing, and the score-change
    // test alone decides then.
    const double gain =
        gradient_usable ? predicted_gain(x, d, E.grad, E.hessian, bounds) : std::nan("");
    if (!(gain >= options.visible_change)) {
      if (gradient_usable && gmax < options.grad_tol * (a + 1.0)) return OuterResult{x, s, k, true};
      if (k > 2 && !inadmissible && rel_change < options.reml_tol)
        return OuterResult{x, s, k, true};
    }
    if (k == options.max_iter) return QueltError::not_converged(options.max_iter, gmax);

    // The loop's end when no trial lowers the score: converged only if the
    // step points out of the box on every coordinate that matters, or the
    // gradient is nearly zero. n_iters counts the failed step.
    auto stuck = [&](std::uint64_t steps) {
      const bool pinned = fresh && step_pinned(x, d, bounds);
      return OuterResult{x, s, steps, pinned || (gradient_usable && gmax < 0.001 * (a + 1.0))};
    };
    // A trial is accepted below s − margin. When even the predicted gain of
    // the whole step clamped into the box is below the margin, no trial can
    // pass: the loop ends as after an exhausted line search, without the
    // trials.
    const double margin = 1e-10 * a;
    if (gradient_usable && gain < margin) return stuck(k + 1);

    const double a_budget = score_test_magnitude(s, score_origin);
    const bool slow = std::fabs(s - prev) / floor_at(a_budget, 1.0) < 1e-4;
    const int budget = (k > 2 && slow) ? 1 : 10;
    k += 1;
    const double threshold = s - margin;
    double alpha = 1.0;
    bool accepted = false;
    Vector u(n);
    double v = 0.0;
    for (int j = 0;; ++j) {
      for (std::size_t i = 0; i < n; ++i)
        u[i] = clamp_into(x[i] + alpha * d[i], bounds[i].first, bounds[i].second);
      stats.line_search_trials += 1;
      auto r = trial_score(static_cast<const Vector&>(u));
      if (r.ok()) {
        v = r.value();
        if (std::isfinite(v) && v < threshold) {
          accepted = true;
          break;
        }
      }
      if (j == 9 || j + 1 == budget) break;
      alpha *= 0.5;
    }

    if (!accepted) return stuck(k);  // exhausted line search

    prev = s;
    x = u;
    auto next = evaluate(static_cast<const Vector&>(x));
    if (next.ok()) {
      E = std::move(next).value();
      fresh = true;
    } else {
      E.score = v;
      fresh = false;
    }
  }
}

}  // namespace quelt

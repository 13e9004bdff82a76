// The damped Newton loop and its pieces, on synthetic objectives whose
// minimisers are known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "inner/fit_stats.hpp"
#include "outer/fellner_schall.hpp"
#include "outer/newton.hpp"
#include "outer/settings.hpp"
#include "outer/shape_frame.hpp"

namespace quelt {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Eval {
  Vector grad;
  double score = 0.0;
  Matrix hessian;
};

OuterOptions default_options() { return OuterOptions{5e-7, 1e-7, 200, 5.0}; }

Bounds box(std::size_t n, double lo = -30.0, double hi = 30.0) { return Bounds(n, {lo, hi}); }

// f(x) = c0 + ½ Σ_i a_i (x_i − m_i)², separable quadratic.
struct Quadratic {
  double c0;
  Vector a, m;
  double f(const Vector& x) const {
    double s = c0;
    for (std::size_t i = 0; i < x.size(); ++i) s += 0.5 * a[i] * (x[i] - m[i]) * (x[i] - m[i]);
    return s;
  }
  Eval eval(const Vector& x) const {
    Eval e;
    e.score = f(x);
    e.grad.resize(x.size());
    e.hessian = Matrix(x.size(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      e.grad[i] = a[i] * (x[i] - m[i]);
      e.hessian(i, i) = a[i];
    }
    return e;
  }
};

template <class F>
auto evaluator(const F& f) {
  return [&f](const Vector& x) -> Result<Eval> { return f.eval(x); };
}
template <class F>
auto trial_of(const F& f) {
  return [&f](const Vector& x) -> Result<double> { return f.f(x); };
}

TEST(OuterPieces, MaxAbsIgnoresNaN) {
  EXPECT_EQ(max_abs({}), 0.0);
  EXPECT_EQ(max_abs({kNaN}), 0.0);
  EXPECT_EQ(max_abs({kNaN, -3.0, 2.0}), 3.0);
  EXPECT_EQ(max_abs({2.0, kNaN, -1.0}), 2.0);
}

TEST(OuterPieces, ConditionHessianFloorsEigenvalues) {
  // Order 1: floored at 1e-8, NaN stays NaN, a positive entry is kept.
  EXPECT_EQ(condition_outer_hessian(Matrix(1, 1, -5.0))(0, 0), 1e-8);
  EXPECT_TRUE(std::isnan(condition_outer_hessian(Matrix(1, 1, kNaN))(0, 0)));
  EXPECT_EQ(condition_outer_hessian(Matrix(1, 1, 3.5))(0, 0), 3.5);
  EXPECT_EQ(condition_outer_hessian(Matrix()).rows(), 0u);

  // R·diag(3, −2)·Rᵀ with R a rotation by 30°, made asymmetric by moving 0.4
  // between the off-diagonal entries: conditioned to R·diag(3, 1e-8)·Rᵀ.
  const double c = std::cos(M_PI / 6), s = std::sin(M_PI / 6);
  auto rebuild = [&](double l1, double l2) {
    Matrix m(2, 2);
    m(0, 0) = l1 * c * c + l2 * s * s;
    m(1, 1) = l1 * s * s + l2 * c * c;
    m(0, 1) = m(1, 0) = (l1 - l2) * c * s;
    return m;
  };
  Matrix H = rebuild(3.0, -2.0);
  H(0, 1) += 0.4;
  H(1, 0) -= 0.4;
  const Matrix got = condition_outer_hessian(H);
  const Matrix want = rebuild(3.0, 1e-8);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_NEAR(got(i, j), want(i, j), 1e-12) << i << "," << j;
  EXPECT_EQ(got(0, 1), got(1, 0));

  // A positive definite matrix comes back unchanged (to rounding).
  const Matrix pd = rebuild(4.0, 0.5);
  const Matrix same = condition_outer_hessian(pd);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_NEAR(same(i, j), pd(i, j), 1e-12);
}

TEST(OuterPieces, NewtonDirectionAndStepBounds) {
  // An indefinite 1 x 1 Hessian of −5 becomes 1e-8; the huge raw step is cut
  // back to max_step in the direction of −g.
  Vector d = newton_direction(Matrix(1, 1, -5.0), {2.0});
  bound_step(d, std::nullopt, 5.0);
  EXPECT_DOUBLE_EQ(d[0], -5.0);

  // Exact Newton step for a positive definite system.
  Matrix H(2, 2);
  H(0, 0) = 2.0, H(1, 1) = 4.0, H(0, 1) = H(1, 0) = 1.0;
  Vector e = newton_direction(H, {3.0, 5.0});  // H·e = (−3, −5)
  EXPECT_NEAR(2.0 * e[0] + e[1], -3.0, 1e-12);
  EXPECT_NEAR(e[0] + 4.0 * e[1], -5.0, 1e-12);

  struct Case {
    Vector d;
    std::optional<Vector> caps;
    double max_step;
    Vector want;
  };
  const std::vector<Case> cases = {
      {{10.0, 1.0, 4.0}, Vector{5.0, 5.0, 1.0}, 99.0, {2.5, 0.25, 1.0}},
      {{-10.0, 2.0}, std::nullopt, 5.0, {-5.0, 1.0}},
      {{1.0, -2.0}, std::nullopt, 5.0, {1.0, -2.0}},
      {{1.0, -2.0}, Vector{5.0, 5.0}, 0.1, {1.0, -2.0}},  // caps: max_step unused
      {{kNaN, 0.0, 8.0}, Vector{1.0, 1.0, 2.0}, 5.0, {kNaN, 0.0, 2.0}},
  };
  for (const auto& c : cases) {
    Vector got = c.d;
    bound_step(got, c.caps, c.max_step);
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (std::isnan(c.want[i]))
        EXPECT_TRUE(std::isnan(got[i]));
      else
        EXPECT_DOUBLE_EQ(got[i], c.want[i]) << i;
    }
  }
}

TEST(OuterPieces, PinnedOnlyWhenEveryRelevantStepLeavesTheBox) {
  const Bounds b = box(2, -30.0, 30.0);
  EXPECT_TRUE(step_pinned({30.0, -30.0}, {1.0, -1.0}, b));
  EXPECT_TRUE(step_pinned({30.0, 0.0}, {1.0, 0.0}, b));       // negligible 2nd component
  EXPECT_FALSE(step_pinned({30.0, 0.0}, {1.0, 1.0}, b));      // 2nd coordinate free
  EXPECT_FALSE(step_pinned({30.0, -30.0}, {-1.0, -1.0}, b));  // 1st points inward
  EXPECT_FALSE(step_pinned({0.0, 0.0}, {0.0, 1e-13}, b));     // nothing relevant
}

TEST(OuterNewton, StartThatPassesTheGradientTest) {
  Quadratic q{1.0, {2.0}, {0.0}};
  FitStats st;
  auto r =
      outer_newton({0.0}, box(1), std::nullopt, default_options(), evaluator(q), trial_of(q), st);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().converged);
  EXPECT_EQ(r.value().n_iters, 0u);
  EXPECT_EQ(st.outer_iterations, 1u);
  EXPECT_EQ(st.line_search_trials, 0u);
}

TEST(OuterNewton, QuadraticInOneStepWithExactCounts) {
  Quadratic q{3.0, {2.0, 0.5}, {1.5, -2.0}};
  FitStats st;
  auto r = outer_newton({0.0, 0.0}, box(2), std::nullopt, default_options(), evaluator(q),
                        trial_of(q), st);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().converged);
  EXPECT_EQ(r.value().n_iters, 1u);
  EXPECT_NEAR(r.value().rho[0], 1.5, 1e-12);
  EXPECT_NEAR(r.value().rho[1], -2.0, 1e-12);
  EXPECT_NEAR(r.value().score, 3.0, 1e-12);
  EXPECT_EQ(st.outer_iterations, 2u);
  EXPECT_EQ(st.line_search_trials, 1u);
}

// f(x) = Σ_i exp(x_i − c_i) − x_i: convex, minimum at x = c, far from the
// start so that steps are bounded and the Hessian changes along the way.
struct ExpConvex {
  Vector c;
  double f(const Vector& x) const {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += std::exp(x[i] - c[i]) - x[i];
    return s;
  }
  Eval eval(const Vector& x) const {
    Eval e{Vector(x.size()), f(x), Matrix(x.size(), x.size())};
    for (std::size_t i = 0; i < x.size(); ++i) {
      e.grad[i] = std::exp(x[i] - c[i]) - 1.0;
      e.hessian(i, i) = std::exp(x[i] - c[i]);
    }
    return e;
  }
};

TEST(OuterNewton, ConvexObjectiveFarFromStart) {
  ExpConvex g{{3.0, -12.0}};
  FitStats st;
  auto r = outer_newton({0.0, 0.0}, box(2), std::nullopt, default_options(), evaluator(g),
                        trial_of(g), st);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().converged);
  EXPECT_NEAR(r.value().rho[0], 3.0, 1e-3);
  EXPECT_NEAR(r.value().rho[1], -12.0, 1e-3);
  EXPECT_GE(st.line_search_trials, r.value().n_iters);
  EXPECT_EQ(st.outer_iterations, r.value().n_iters + 1);
}

TEST(OuterNewton, IterationLimits) {
  Quadratic q{0.0, {2.0}, {4.0}};
  // max_iter 0: the start is evaluated once, then NotConverged with its
  // gradient norm.
  {
    FitStats st;
    OuterOptions o = default_options();
    o.max_iter = 0;
    auto r = outer_newton({1.0}, box(1), std::nullopt, o, evaluator(q), trial_of(q), st);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, QueltError::Kind::NotConverged);
    EXPECT_EQ(r.error().iters, 0u);
    EXPECT_DOUBLE_EQ(r.error().grad_norm, 6.0);
    EXPECT_EQ(st.line_search_trials, 0u);
  }
  // A fit that reaches the optimum on its last allowed step is converged.
  {
    FitStats st;
    OuterOptions o = default_options();
    o.max_iter = 1;
    auto r = outer_newton({1.0}, box(1), std::nullopt, o, evaluator(q), trial_of(q), st);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().converged);
    EXPECT_EQ(r.value().n_iters, 1u);
  }
  // Not there after the last allowed step: NotConverged with the gradient
  // norm of the point reached. Steps are bounded to 5: 0 → 5 → 10 → 15.
  {
    Quadratic far{0.0, {2.0}, {20.0}};
    FitStats st;
    OuterOptions o = default_options();
    o.max_iter = 3;
    auto r = outer_newton({0.0}, box(1), std::nullopt, o, evaluator(far), trial_of(far), st);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().iters, 3u);
    EXPECT_DOUBLE_EQ(r.error().grad_norm, 10.0);  // |2·(15 − 20)|
  }
}

TEST(OuterNewton, OptimumOutsideTheBox) {
  // Minimum at 50 in a box [−30, 30]: steps of 5 reach 30, where the step
  // points out of the box and its clamped trials could not lower the score:
  // none is made, converged (pinned), and n_iters counts the failed step.
  Quadratic q{0.0, {2.0}, {50.0}};
  FitStats st;
  auto r =
      outer_newton({0.0}, box(1), std::nullopt, default_options(), evaluator(q), trial_of(q), st);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().converged);
  EXPECT_DOUBLE_EQ(r.value().rho[0], 30.0);
  EXPECT_EQ(r.value().n_iters, 7u);
  EXPECT_EQ(st.line_search_trials, 6u);

  // One coordinate pinned, the other free with a large gradient and every
  // trial failing: not converged.
  Quadratic q2{0.0, {2.0, 2.0}, {50.0, 10.0}};
  FitStats st2;
  auto fail_free = [&](const Vector& x) -> Result<double> {
    if (x[1] != 0.0) return QueltError::singular_system("trial");
    return q2.f(x);
  };
  auto r2 = outer_newton({30.0, 0.0}, box(2), std::nullopt, default_options(), evaluator(q2),
                         fail_free, st2);
  ASSERT_TRUE(r2.ok());
  EXPECT_FALSE(r2.value().converged);
  EXPECT_EQ(r2.value().n_iters, 1u);
  EXPECT_EQ(st2.line_search_trials, 10u);
}

TEST(OuterNewton, LineSearchHalvesAfterAFailedTrial) {
  Quadratic q{0.0, {2.0}, {2.0}};
  FitStats st;
  bool first = true;
  auto fail_once = [&](const Vector& x) -> Result<double> {
    if (first) {
      first = false;
      return QueltError::singular_system("trial");
    }
    return q.f(x);
  };
  auto r =
      outer_newton({0.0}, box(1), std::nullopt, default_options(), evaluator(q), fail_once, st);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().converged);
  // First step: trial at 2 fails, trial at 1 accepted; second step reaches 2.
  EXPECT_EQ(r.value().n_iters, 2u);
  EXPECT_EQ(st.line_search_trials, 3u);
  EXPECT_NEAR(r.value().rho[0], 2.0, 1e-12);
}

// Linear score s(x) = s0 + slope·x with a unit Hessian: every step moves by
// −slope and changes the score by slope².
struct Linear {
  double s0, slope;
  double f(const Vector& x) const { return s0 + slope * x[0]; }
  Eval eval(const Vector& x) const { return Eval{{slope}, f(x), Matrix(1, 1, 1.0)}; }
};

TEST(OuterNewton, ScoreChangeTestAndTrialBudget) {
  // Relative change 1e-9 per step (below reml_tol) with a large gradient:
  // the score-change test passes first at the fourth evaluation (k = 3).
  {
    Linear l{10.0, -1e-4};  // step 1e-4, change 1e-8, relative 1e-9
    FitStats st;
    OuterOptions o = default_options();
    o.grad_tol = 1e-9;
    auto r = outer_newton({0.0}, box(1), std::nullopt, o, evaluator(l), trial_of(l), st);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().converged);
    EXPECT_EQ(r.value().n_iters, 3u);
    EXPECT_EQ(st.outer_iterations, 4u);
  }
  // Relative change 1e-5 (between reml_tol and 1e-4): after three steps the
  // budget is one trial, so a failing fourth step costs a single trial.
  {
    Linear l{1000.0, -0.1};  // step 0.1, change 0.01, relative 1e-5
    FitStats st;
    auto trial = [&](const Vector& x) -> Result<double> {
      if (x[0] > 0.35) return QueltError::singular_system("trial");
      return l.f(x);
    };
    auto r = outer_newton({0.0}, box(1), std::nullopt, default_options(), evaluator(l), trial, st);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().n_iters, 4u);
    EXPECT_EQ(st.line_search_trials, 4u);
    // Gradient 0.1 < 0.001·(|score| + 1): converged by the loose test.
    EXPECT_TRUE(r.value().converged);
  }
}

// A score of large size c0 (as of many observations) with one coordinate
// whose optimum lies at infinity, as a smooth penalised to its null space:
// f(x) = c0 + ½(x₀ − 2)² + 10·e^(−x₁), Hessian exact; inf f = c0 in the box.
// The Hessian reported in x₀ can be made too small by a factor, so that the
// full Newton step overshoots and the line search must halve it.
struct LargeScore {
  double c0;
  double curvature0 = 1.0;
  double f(const Vector& x) const {
    return c0 + 0.5 * (x[0] - 2.0) * (x[0] - 2.0) + 10.0 * std::exp(-x[1]);
  }
  Eval eval(const Vector& x) const {
    Eval e{{x[0] - 2.0, -10.0 * std::exp(-x[1])}, f(x), Matrix(2, 2)};
    e.hessian(0, 0) = curvature0;
    e.hessian(1, 1) = 10.0 * std::exp(-x[1]);
    return e;
  }
};

TEST(OuterNewton, ConvergenceTestsDoNotLoosenWithTheScoreSize) {
  // The score differences that decide the optimum are the same whatever c0:
  // the end point lies within 1e-3 of the infimum for every size, and from
  // a size of 10⁴ on the search is the same (the iterations agree, the
  // points to the rounding of c0).
  for (const double curvature0 : {1.0, 1.0 / 3.0}) {
    std::optional<OuterResult> large;
    for (const double c0 : {0.0, 50.0, 1e4, 1e5, 1e6}) {
      SCOPED_TRACE(testing::Message() << "c0 = " << c0 << ", curvature " << curvature0);
      LargeScore g{c0, curvature0};
      FitStats st;
      auto r = outer_newton({-8.0, 0.0}, box(2), std::nullopt, default_options(), evaluator(g),
                            trial_of(g), st);
      ASSERT_TRUE(r.ok());
      EXPECT_TRUE(r.value().converged);
      EXPECT_LT(g.f(r.value().rho) - c0, 1e-3);
      if (c0 < 1e4) continue;
      if (!large) {
        large = r.value();
        continue;
      }
      EXPECT_EQ(r.value().n_iters, large->n_iters);
      EXPECT_NEAR(r.value().rho[0], large->rho[0], 1e-6);
      EXPECT_NEAR(r.value().rho[1], large->rho[1], 1e-3);
    }
  }
}

// A one-coordinate score given by its value and first two derivatives.
struct Curve {
  double (*value)(double);
  double (*slope)(double);
  double (*curvature)(double);
  double f(const Vector& x) const { return value(x[0]); }
  Eval eval(const Vector& x) const {
    return Eval{{slope(x[0])}, value(x[0]), Matrix(1, 1, curvature(x[0]))};
  }
};

TEST(OuterNewton, StopsWhereTheNextStepCouldGainNothingVisible) {
  // Each start passes the gradient test relative to its score of 10⁵ or
  // 10⁶ (5e-7·(a + 1) ≥ 0.05).
  struct Case {
    const char* what;
    Curve curve;
    double start, inf;
    bool steps;  // whether the search must move from its start
  };
  const Case cases[] = {
      // Near the minimum of a quadratic: the Newton step would gain 4.5e-7;
      // the search ends at its start, without a trial.
      {"quadratic, invisible step",
       {[](double x) { return 1e5 + 5.0 * x * x; }, [](double x) { return 10.0 * x; },
        [](double) { return 10.0; }},
       3e-4,
       1e5,
       false},
      // A flat direction whose optimum lies at infinity (a smooth penalised
      // towards its null space): 0.068 is still to gain from x = 2.
      {"flat direction",
       {[](double x) { return 1e6 + 0.5 * std::exp(-x); },
        [](double x) { return -0.5 * std::exp(-x); }, [](double x) { return 0.5 * std::exp(-x); }},
       2.0,
       1e6,
       true},
      // Just beside a maximum: the gradient is 10⁻⁵, but the curvature is
      // negative, and the step the floored Hessian allows gains 12.5.
      {"beside a maximum",
       {[](double x) { return 1e6 + std::cos(x); }, [](double x) { return -std::sin(x); },
        [](double x) { return -std::cos(x); }},
       1e-5,
       1e6 - 1.0,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FitStats st;
    auto r = outer_newton({c.start}, box(1), std::nullopt, default_options(), evaluator(c.curve),
                          trial_of(c.curve), st);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().converged);
    EXPECT_LT(c.curve.f(r.value().rho) - c.inf, 1e-3);
    EXPECT_EQ(st.line_search_trials > 0, c.steps);
    if (!c.steps) {
      EXPECT_EQ(r.value().n_iters, 0u);
    }
  }
  // The visible change follows a tuning override's gradient tolerance.
  EXPECT_EQ(visible_change_for(5e-7, 5e-7), kVisibleScoreChange);
  EXPECT_DOUBLE_EQ(visible_change_for(1e-12, 5e-5), 2e-8 * kVisibleScoreChange);
}

TEST(OuterNewton, NoTrialsWhereNoneCouldBeAccepted) {
  // Score 10⁶ (acceptance margin 1e-10·10⁶ = 1e-4) at x = 3e-6 from the
  // minimum with curvature 10⁶: the gradient 3 fails the gradient test
  // (5e-7·10⁶ = 0.5), but the Newton step gains 4.5e-6 (first order 9e-6),
  // below the margin. The search ends there without trials, converged by
  // the loose test.
  Quadratic q{1e6, {1e6}, {0.0}};
  FitStats st;
  auto r =
      outer_newton({3e-6}, box(1), std::nullopt, default_options(), evaluator(q), trial_of(q), st);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().converged);
  EXPECT_EQ(r.value().n_iters, 1u);
  EXPECT_EQ(st.line_search_trials, 0u);
  // Ten times as far the step gains 4.5e-4 (first order 9e-4): it is taken.
  FitStats st2;
  auto r2 =
      outer_newton({3e-5}, box(1), std::nullopt, default_options(), evaluator(q), trial_of(q), st2);
  ASSERT_TRUE(r2.ok());
  EXPECT_TRUE(r2.value().converged);
  EXPECT_NEAR(r2.value().rho[0], 0.0, 1e-12);
  EXPECT_EQ(st2.line_search_trials, 1u);
}

TEST(OuterNewton, NoConvergenceFromAStaleOrInadmissibleGradient) {
  // The evaluation at the accepted point fails: its small stale gradient
  // must not be tested against the new, much larger score.
  {
    FitStats st;
    auto eval = [](const Vector& x) -> Result<Eval> {
      if (x[0] != 0.0) return QueltError::singular_system("eval");
      return Eval{{-1e-3}, -1.0, Matrix(1, 1, 1e-4)};
    };
    auto trial = [](const Vector& x) -> Result<double> {
      if (x[0] > 6.0) return QueltError::singular_system("trial");
      return -1e6;
    };
    auto r = outer_newton({0.0}, box(1), std::nullopt, default_options(), eval, trial, st);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.value().converged);
    EXPECT_DOUBLE_EQ(r.value().rho[0], 5.0);
    EXPECT_DOUBLE_EQ(r.value().score, -1e6);  // the trial's score is kept
    EXPECT_EQ(r.value().n_iters, 2u);
  }
  // Inadmissible everywhere (score 1e12, zero gradient): never converged.
  {
    FitStats st;
    auto eval = [](const Vector&) -> Result<Eval> { return Eval{{0.0, 0.0}, 1e12, Matrix(2, 2)}; };
    auto trial = [](const Vector&) -> Result<double> { return 1e12; };
    auto r = outer_newton({0.0, 0.0}, box(2), std::nullopt, default_options(), eval, trial, st);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.value().converged);
    EXPECT_EQ(r.value().n_iters, 1u);
  }
  // Trials keep lowering the score while every evaluation after the start is
  // inadmissible: the unchanged 1e12 from step to step is no score
  // convergence either.
  {
    FitStats st;
    auto eval = [](const Vector& x) -> Result<Eval> {
      if (x[0] == 0.0) return Eval{{-1.0}, 10.0, Matrix(1, 1, 1.0)};
      return Eval{{0.0}, 1e12, Matrix(1, 1, 1.0)};
    };
    double next = 10.0;
    auto trial = [&next](const Vector&) -> Result<double> { return next -= 1.0; };
    OuterOptions o = default_options();
    o.max_iter = 6;
    auto r = outer_newton({0.0}, box(1), std::nullopt, o, eval, trial, st);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, QueltError::Kind::NotConverged);
  }
  // The first evaluation's error is the loop's error.
  {
    FitStats st;
    auto eval = [](const Vector&) -> Result<Eval> { return QueltError::singular_system("first"); };
    auto trial = [](const Vector&) -> Result<double> { return 0.0; };
    auto r = outer_newton({0.0}, box(1), std::nullopt, default_options(), eval, trial, st);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "first");
  }
}

TEST(OuterNewton, StartIsClampedAndBadBoundsStop) {
  Quadratic q{0.0, {1.0}, {-5.0}};
  FitStats st;
  auto r = outer_newton({-100.0}, box(1, -5.0, 5.0), std::nullopt, default_options(), evaluator(q),
                        trial_of(q), st);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().rho[0], -5.0);
  EXPECT_EQ(r.value().n_iters, 0u);
  EXPECT_THROW((void)outer_newton({0.0}, Bounds{{1.0, -1.0}}, std::nullopt, default_options(),
                                  evaluator(q), trial_of(q), st),
               InvariantViolation);
  EXPECT_THROW((void)outer_newton({0.0}, Bounds{{kNaN, 1.0}}, std::nullopt, default_options(),
                                  evaluator(q), trial_of(q), st),
               InvariantViolation);
}

TEST(ShapeCurvature, StepOfAFlatRhoDoesNotShrinkWithTheShapeCurvature) {
  // A shape coordinate of curvature L (growing like n) beside a ρ of
  // curvature 1e-4 (its λ near the top of its range): from L = 10³ on the
  // Newton step in ρ is the same, while the shape step keeps its own size.
  std::optional<double> step;
  for (const double big : {1e3, 1e5, 1e7}) {
    Matrix h(2, 2);
    h(0, 0) = big;
    h(1, 1) = 1e-4;
    const Vector d = newton_direction(positive_curvature(h), {big, -1e-4});
    EXPECT_NEAR(d[0], -1.0, 1e-12);
    if (!step) step = d[1];
    EXPECT_NEAR(d[1], *step, 1e-12 * std::fabs(*step));
    EXPECT_GT(d[1], 0.0);
  }
}

TEST(FellnerSchall, UpdateArithmetic) {
  const double ln2 = std::log(2.0);
  struct Case {
    double rho, dlogdet, trace, bsb, scale, want;
  };
  const std::vector<Case> cases = {
      {0.0, 4.0, 1.0, 3.0 * std::exp(-5.0), 1.0, 3.0},  // u = 5: +3 only
      {0.0, 4.0, 1.0, 3.0 * std::exp(7.0), 1.0, -3.0},  // u = −7: −3 only
      {0.0, 4.0, 1.0, 3.0, 1.0, 0.0},                   // fixed point
      {0.0, 4.0, 1.0, 3.0, 2.0, ln2},                   // the scale multiplies the ratio
      {0.0, 4.0, 1.0, 3.0, kNaN, 0.0},                  // unusable scale counts as 1
      {ln2, 4.0, 1.0, 1.0, 1.0, ln2},                   // 4/λ − 1 = 1 at λ = 2
      {0.0, 1.0, 2.0, 1e-10, 1.0, 0.0},                 // both sides floored
      {0.0, 4.0, 1.0, 0.0, 1.0, 3.0},                   // βᵀSβ = 0: at most +3
      {kFsRhoHi, 1e9, 0.0, 1e-3, 1.0, kFsRhoHi},        // λ = 1e7 stays there
      {kFsRhoLo, 0.0, 1e9, 1e3, 1.0, kFsRhoLo},         // λ = 1e-9 stays there
      {kFsRhoHi - 1.0, 1e9, 0.0, 1e-3, 1.0, kFsRhoHi},  // clamped into the box
  };
  for (const Case& c : cases)
    EXPECT_NEAR(fellner_schall_update(c.rho, c.dlogdet, c.trace, c.bsb, c.scale), c.want, 1e-12)
        << c.rho << " " << c.dlogdet << " " << c.trace << " " << c.bsb << " " << c.scale;
}

TEST(OuterSettings, OverrideReplacesAllFourDefaults) {
  const OuterOptions defaults{5e-5, 1e-5, 200, 5.0};
  set_outer_tuning_override(std::nullopt);
  EXPECT_EQ(read_outer_options(defaults), defaults);
  const OuterOptions over{1e-3, 1e-7, 200, 5.0};
  set_outer_tuning_override(over);
  EXPECT_EQ(read_outer_options(defaults), over);
  set_outer_tuning_override(std::nullopt);
}

}  // namespace
}  // namespace quelt

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cmath>

#include "derivative_check.hpp"

namespace quelt {
namespace {

using testing::DiffScale;
using testing::DiffTolerance;

// f(x) = x0² x1 + sin x1 with its exact gradient and Hessian; `err` spoils
// one entry of the gradient, the Hessian's last diagonal entry or (not
// symmetric) its upper off-diagonal entry alone.
double f(const Vector& x) { return x[0] * x[0] * x[1] + std::sin(x[1]); }
Vector grad(const Vector& x, double err) {
  return {2.0 * x[0] * x[1], x[0] * x[0] + std::cos(x[1]) + err};
}
Matrix hess(const Vector& x, double err, bool symmetric) {
  Matrix h(2, 2);
  h(0, 0) = 2.0 * x[1];
  h(0, 1) = 2.0 * x[0] + (symmetric ? 0.0 : err);
  h(1, 0) = 2.0 * x[0];
  h(1, 1) = -std::sin(x[1]) + (symmetric ? err : 0.0);
  return h;
}

// The checks pass exact derivatives and report a spoiled entry and an
// asymmetric Hessian: a check that compared nothing would pass them all.
TEST(DerivativeCheck, PassesExactDerivativesAndReportsSpoiledOnes) {
  const Vector x{0.7, -1.3};
  const DiffTolerance g_tol{1e-7, 0.0, DiffScale::LargestAnalytic, 1e-4};
  const DiffTolerance h_tol{1e-7, 0.0, DiffScale::LargestDifference, 1e-4};
  auto good_grad = [](const Vector& v) { return grad(v, 0.0); };
  testing::expect_derivatives_match(
      f, good_grad, [](const Vector& v) { return hess(v, 0.0, true); }, {x, Vector{-2.0, 0.4}},
      g_tol, h_tol, "exact");
  EXPECT_NONFATAL_FAILURE(
      testing::expect_gradient_matches(
          f, [](const Vector& v) { return grad(v, 1e-5); }, x, g_tol, "spoiled"),
      "spoiled j=1");
  EXPECT_NONFATAL_FAILURE(
      testing::expect_hessian_matches(
          good_grad, [](const Vector& v) { return hess(v, 1e-5, true); }, x, h_tol, "spoiled"),
      "spoiled (1, 1)");
  EXPECT_NONFATAL_FAILURE(
      testing::expect_hessian_matches(
          good_grad, [](const Vector& v) { return hess(v, 1e-14, false); }, x, h_tol, "asymmetric"),
      "asymmetric (0, 1)");
  const DiffTolerance s_tol{1e-8, 0.0, DiffScale::EntryDifference, 1e-5};
  auto cube = [](double t) { return t * t * t; };
  testing::expect_derivative_matches(
      cube, [](double t) { return 3.0 * t * t; }, 0.8, s_tol, "cube");
  EXPECT_NONFATAL_FAILURE(
      testing::expect_derivative_matches(
          cube, [](double t) { return 3.0 * t * t + 1e-6; }, 0.8, s_tol, "spoiled"),
      "spoiled x=0.8");
}

}  // namespace
}  // namespace quelt

// Analytic derivatives against central differences.
//
// Each check differences the function one order below the derivative under
// test, (f(x + h e_j) − f(x − h e_j)) / 2h along every coordinate j, and
// expects every analytic entry within
//   abs + rel · scale
// of its difference, the scale chosen per check (DiffScale). The difference
// is off by O(h²) times the next derivative plus O(ε |f| / h) of rounding,
// so h and rel are chosen together. A gradient check reads value and
// gradient, a Hessian check gradient and Hessian; the Hessian is compared
// with the symmetrised differences (D + Dᵀ)/2 and must itself be exactly
// symmetric.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>

#include "core/matrix.hpp"

namespace quelt::testing {

enum class DiffScale {
  None,               // abs alone
  LargestAnalytic,    // max_j |analytic_j| over the whole gradient
  LargestDifference,  // max |difference| over the whole matrix
  EntryDifference,    // the entry's own |difference|
};

struct DiffTolerance {
  double rel = 0.0;
  double abs = 0.0;
  DiffScale scale = DiffScale::None;
  double step = 1e-4;  // h
};

namespace derivative_detail {

inline double largest_abs(const double* v, std::size_t n) {
  double m = 0.0;
  for (std::size_t i = 0; i < n; ++i) m = std::fmax(m, std::fabs(v[i]));
  return m;
}

inline double allowed(const DiffTolerance& tol, double largest, double entry_difference) {
  switch (tol.scale) {
    case DiffScale::None:
      return tol.abs;
    case DiffScale::EntryDifference:
      return tol.abs + tol.rel * std::fabs(entry_difference);
    default:
      return tol.abs + tol.rel * largest;
  }
}

}  // namespace derivative_detail

// d f / dx at a scalar x against the central difference; df must be finite.
template <class F, class DF>
void expect_derivative_matches(F f, DF df, double x, const DiffTolerance& tol,
                               const std::string& label) {
  const double h = tol.step;
  const double fd = (f(x + h) - f(x - h)) / (2.0 * h);
  const double got = df(x);
  EXPECT_TRUE(std::isfinite(got)) << label << " x=" << x;
  EXPECT_NEAR(got, fd, derivative_detail::allowed(tol, std::fabs(got), fd)) << label << " x=" << x;
}

// The gradient of value at x against central differences of value; the
// value at x must be finite.
template <class Value, class Gradient>
void expect_gradient_matches(Value value, Gradient gradient, const Vector& x,
                             const DiffTolerance& tol, const std::string& label) {
  EXPECT_TRUE(std::isfinite(value(x))) << label;
  const Vector g = gradient(x);
  ASSERT_EQ(g.size(), x.size()) << label;
  const double largest = derivative_detail::largest_abs(g.data(), g.size());
  const double h = tol.step;
  for (std::size_t j = 0; j < x.size(); ++j) {
    Vector xp = x, xm = x;
    xp[j] += h;
    xm[j] -= h;
    const double fd = (value(xp) - value(xm)) / (2.0 * h);
    EXPECT_NEAR(g[j], fd, derivative_detail::allowed(tol, largest, fd)) << label << " j=" << j;
  }
}

// The Hessian at x against the symmetrised central differences of the
// gradient; the Hessian must be exactly symmetric.
template <class Gradient, class Hessian>
void expect_hessian_matches(Gradient gradient, Hessian hessian, const Vector& x,
                            const DiffTolerance& tol, const std::string& label) {
  const std::size_t m = x.size();
  const Matrix hs = hessian(x);
  ASSERT_EQ(hs.rows(), m) << label;
  ASSERT_EQ(hs.cols(), m) << label;
  Matrix fd(m, m);
  const double h = tol.step;
  for (std::size_t j = 0; j < m; ++j) {
    Vector xp = x, xm = x;
    xp[j] += h;
    xm[j] -= h;
    const Vector gp = gradient(xp), gm = gradient(xm);
    ASSERT_EQ(gp.size(), m) << label;
    ASSERT_EQ(gm.size(), m) << label;
    for (std::size_t i = 0; i < m; ++i) fd(i, j) = (gp[i] - gm[i]) / (2.0 * h);
  }
  const double largest = derivative_detail::largest_abs(fd.data(), fd.size());
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) {
      const double sym = 0.5 * (fd(i, j) + fd(j, i));
      EXPECT_NEAR(hs(i, j), sym, derivative_detail::allowed(tol, largest, sym))
          << label << " (" << i << ", " << j << ")";
      if (j > i) {
        EXPECT_EQ(hs(i, j), hs(j, i)) << label << " (" << i << ", " << j << ")";
      }
    }
}

// Gradient and Hessian at every point.
template <class Value, class Gradient, class Hessian>
void expect_derivatives_match(Value value, Gradient gradient, Hessian hessian,
                              std::initializer_list<Vector> points, const DiffTolerance& grad_tol,
                              const DiffTolerance& hess_tol, const std::string& label) {
  for (const Vector& x : points) {
    expect_gradient_matches(value, gradient, x, grad_tol, label);
    expect_hessian_matches(gradient, hessian, x, hess_tol, label);
  }
}

}  // namespace quelt::testing

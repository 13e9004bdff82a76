#include "outer/newton.hpp"

#include "core/lapack.hpp"

namespace quelt {

double max_abs(const Vector& v) {
  double m = 0.0;
  for (double e : v) m = std::fmax(m, std::fabs(e));
  return m;
}

void check_bounds(const Bounds& bounds, std::size_t n) {
  check_invariant(bounds.size() == n, "outer_newton: bounds must have one pair per coordinate");
  for (const auto& [lo, hi] : bounds)
    check_invariant(lo <= hi, "outer_newton: every bound pair must satisfy lo <= hi");
}

Matrix condition_outer_hessian(const Matrix& H) {
  const std::size_t n = H.rows();
  check_invariant(H.cols() == n, "condition_outer_hessian: the Hessian must be square");
  constexpr double kFloor = 1e-8;
  if (n == 0) return Matrix();
  if (n == 1) {
    Matrix out = H;
    if (out(0, 0) < kFloor) out(0, 0) = kFloor;
    return out;
  }
  Matrix sym = H;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) {
      const double m = 0.5 * (H(i, j) + H(j, i));
      sym(i, j) = m;
      sym(j, i) = m;
    }
  auto eig = sym_eigen(sym);
  if (!eig.ok()) {
    for (std::size_t i = 0; i < n; ++i)
      if (sym(i, i) < kFloor) sym(i, i) = kFloor;
    return sym;
  }
  const SymEigen& e = eig.value();
  Matrix out(n, n);
  for (std::size_t k = 0; k < n; ++k) {
    const double lam = floor_at(e.values[k], kFloor);
    for (std::size_t i = 0; i < n; ++i) {
      const double vi = lam * e.vectors(i, k);
      for (std::size_t j = 0; j < n; ++j) out(i, j) += vi * e.vectors(j, k);
    }
  }
  return out;
}

Vector newton_direction(const Matrix& H, const Vector& grad) {
  const std::size_t n = grad.size();
  check_invariant(H.rows() == n && H.cols() == n,
                  "newton_direction: Hessian and gradient sizes disagree");
  Vector neg(n);
  for (std::size_t i = 0; i < n; ++i) neg[i] = -grad[i];
  if (n == 0) return neg;
  auto f = lu_factor(condition_outer_hessian(H));
  if (!f.ok()) return neg;
  auto d = lu_solve(f.value(), neg);
  if (!d.ok()) return neg;
  return std::move(d).value();
}

void bound_step(Vector& d, const std::optional<Vector>& caps, double max_step) {
  if (!caps) {
    const double dmax = max_abs(d);
    if (dmax > max_step) {
      const double f = max_step / dmax;
      for (double& e : d) e *= f;
    }
    return;
  }
  check_invariant(caps->size() == d.size(), "bound_step: one cap per coordinate");
  double t = 1.0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double di = d[i];
    if (di == 0.0 || std::isnan(di)) continue;
    const double cap = (*caps)[i];
    if (std::fabs(di) > cap) t = std::fmin(t, cap / std::fabs(di));
  }
  for (double& e : d) e *= t;
}

double predicted_gain(const Vector& x, const Vector& d, const Vector& grad, const Matrix& hessian,
                      const Bounds& bounds) {
  const std::size_t n = d.size();
  Vector step(n);
  for (std::size_t i = 0; i < n; ++i)
    step[i] = clamp_into(x[i] + d[i], bounds[i].first, bounds[i].second) - x[i];
  double first = 0.0, curvature = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    first -= grad[i] * step[i];
    for (std::size_t j = 0; j < n; ++j) curvature += step[i] * hessian(i, j) * step[j];
  }
  return first - 0.5 * std::fmin(curvature, 0.0);
}

bool step_pinned(const Vector& x, const Vector& d, const Bounds& bounds) {
  bool any = false;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double tol = 1e-12 * floor_at(std::fabs(x[i]), 1.0);
    if (!(std::fabs(d[i]) > tol)) continue;
    any = true;
    const auto [lo, hi] = bounds[i];
    const bool blocked =
        (d[i] > 0.0 && std::fabs(hi - x[i]) <= tol) || (d[i] < 0.0 && std::fabs(x[i] - lo) <= tol);
    if (!blocked) return false;
  }
  return any;
}

OuterOptions read_outer_options(const OuterOptions& defaults) {
  auto o = outer_tuning_override();
  return o ? *o : defaults;
}

}  // namespace quelt

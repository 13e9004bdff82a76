#include "family/ocat.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace quelt {
namespace {

// Smallest normal double: the floor of a cell probability.
constexpr double kProbFloor = 2.2250738585072014e-308;
constexpr double kInf = std::numeric_limits<double>::infinity();

void check_lengths(const char* what, std::size_t n, std::size_t got, const char* name) {
  if (got < n)
    invariant_failed(std::string(what) + ": " + name + " holds " + std::to_string(got) +
                     " entries for " + std::to_string(n) + " observations");
}

// F(b) − F(a) for a < b, each branch a difference of terms in e^(−|x|) that
// cannot overflow; a = −∞ and b = +∞ are the open cells.
double cell_probability(double a, double b) {
  if (a == -kInf) return b == kInf ? 1.0 : 1.0 / (1.0 + std::exp(-b));
  if (b == kInf) return 1.0 / (1.0 + std::exp(a));
  const double ea = std::exp(-std::fabs(a)), eb = std::exp(-std::fabs(b));
  if (b < 0.0) return eb / (eb + 1.0) - ea / (ea + 1.0);
  if (a > 0.0) return (ea - eb) / ((ea + 1.0) * (eb + 1.0));
  return (1.0 - ea * eb) / ((ea + 1.0) * (eb + 1.0));
}

// F′, F″, F‴ of the logistic distribution function at x, with e = e^(−|x|):
//   F′ = e/(1+e)²,  F″ = ±(e − e²)/(1+e)³ (+ for x ≤ 0),  F‴ = (e − 4e² + e³)/(1+e)⁴;
// all 0 at an infinite or NaN x.
struct LogisticDerivs {
  double d1 = 0.0, d2 = 0.0, d3 = 0.0;
};
LogisticDerivs logistic_derivs(double x) {
  if (!std::isfinite(x)) return {};
  const double e = std::exp(-std::fabs(x)), u = 1.0 + e;
  const double u2 = u * u;
  const double d2 = (e - e * e) / (u2 * u);
  return {e / u2, x <= 0.0 ? d2 : -d2, (e - 4.0 * e * e + e * e * e) / (u2 * u2)};
}

}  // namespace

std::size_t ocat_category(double y, std::size_t r) {
  const double k = std::round(y);
  if (!(k >= 1.0)) return 1;
  if (k >= static_cast<double>(r)) return r;
  return static_cast<std::size_t>(k);
}

Result<Ocat> ocat_new(Vector thresholds, std::size_t n_cats) {
  if (n_cats < 3)
    return QueltError::invalid_parameter("Ocat requires R ≥ 3, got " + std::to_string(n_cats));
  if (thresholds.size() != n_cats - 2)
    return QueltError::invalid_parameter("Ocat thresholds length must equal n_cats - 2");
  return Ocat{std::move(thresholds), n_cats};
}

Result<Ocat> ocat_identity(std::size_t n_cats) {
  return ocat_new(Vector(n_cats < 3 ? 0 : n_cats - 2, 0.0), n_cats);
}

Vector ocat_cut_points(const Ocat& family) {
  const std::size_t r = family.n_cats;
  if (r < 2 || family.thresholds.size() < r - 2)
    invariant_failed("ocat_cut_points: " + std::to_string(family.thresholds.size()) +
                     " thresholds for " + std::to_string(r) + " categories");
  Vector c(r + 1);
  c[0] = -kInf;
  c[1] = -1.0;
  for (std::size_t m = 1; m + 1 < r; ++m) c[m + 1] = c[m] + std::exp(family.thresholds[m - 1]);
  c[r] = kInf;
  return c;
}

double ocat_log_likelihood(std::span<const double> y, const Ocat& family,
                           std::span<const double> eta, std::span<const double> w) {
  const std::size_t n = eta.size();
  check_lengths("ocat_log_likelihood", n, y.size(), "y");
  if (!w.empty()) check_lengths("ocat_log_likelihood", n, w.size(), "w");
  const Vector c = ocat_cut_points(family);
  double d = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = ocat_category(y[i], family.n_cats);
    const double p = floor_at(cell_probability(c[k - 1] - eta[i], c[k] - eta[i]), kProbFloor);
    d += -2.0 * (w.empty() ? 1.0 : w[i]) * std::log(p);
  }
  return d;
}

OcatObsDerivs ocat_obs_probs(const Ocat& family, std::span<const double> y,
                             std::span<const double> eta, std::span<const double> w) {
  const std::size_t n = y.size();
  check_lengths("ocat_obs_probs", n, eta.size(), "eta");
  if (!w.empty()) check_lengths("ocat_obs_probs", n, w.size(), "w");
  const Vector c = ocat_cut_points(family);
  const std::size_t r = family.n_cats, s = r - 2;
  OcatObsDerivs out{Vector(n), Matrix(n, s), Matrix(n, s), Matrix(n, s)};
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w.empty() ? 1.0 : w[i];
    const std::size_t k = ocat_category(y[i], r);
    const double a = c[k - 1] - eta[i], b = c[k] - eta[i];
    const double p = floor_at(cell_probability(a, b), kProbFloor);
    const LogisticDerivs fa = logistic_derivs(a), fb = logistic_derivs(b);
    // η-derivatives of P (a and b both move by −dη).
    // The derivatives enter as ratios to P: P² would underflow to 0 at a
    // floored P (a cell far out in a tail), and 0/0 would follow.
    const double p1 = fa.d1 - fb.d1, p2 = fb.d2 - fa.d2, p3 = fa.d3 - fb.d3;
    const double r1 = p1 / p, r2 = p2 / p;
    out.dev_eta3[i] = -2.0 * wi * (p3 / p - 3.0 * r1 * r2 + 2.0 * r1 * r1 * r1);
    // c_m moves with θ_j (∂c_m/∂θ_j = e^(θ_j)) for j + 1 ≤ m ≤ R − 1: the
    // upper cut c_k for j ≤ k − 1 (k < R), the lower cut c_{k−1} for j ≤ k − 2.
    for (std::size_t j = 1; j <= s; ++j) {
      const bool upper = j + 1 <= k && k < r, lower = j + 2 <= k;
      if (!upper && !lower) continue;
      const double g = std::exp(family.thresholds[j - 1]);
      const double al = upper ? 1.0 : 0.0, be = lower ? 1.0 : 0.0;
      const double pt = g * (al * fb.d1 - be * fa.d1);
      const double pte = g * (be * fa.d2 - al * fb.d2);
      const double ptee = g * (al * fb.d3 - be * fa.d3);
      out.dev_theta(i, j - 1) = -2.0 * wi * pt / p;
      const double rt = pt / p;
      out.dev_theta_eta(i, j - 1) = -2.0 * wi * (pte / p - rt * r1);
      out.dev_theta_eta2(i, j - 1) =
          -2.0 * wi * (ptee / p - 2.0 * (pte / p) * r1 - rt * r2 + 2.0 * rt * r1 * r1);
    }
  }
  return out;
}

void ocat_eta_derivatives(const Ocat& family, std::span<const double> y,
                          std::span<const double> eta, std::span<double> d1, std::span<double> d2) {
  const std::size_t n = eta.size();
  check_lengths("ocat_eta_derivatives", n, y.size(), "y");
  check_lengths("ocat_eta_derivatives", n, d1.size(), "d1");
  check_lengths("ocat_eta_derivatives", n, d2.size(), "d2");
  const Vector c = ocat_cut_points(family);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = ocat_category(y[i], family.n_cats);
    const double a = c[k - 1] - eta[i], b = c[k] - eta[i];
    const double p = floor_at(cell_probability(a, b), kProbFloor);
    const LogisticDerivs fa = logistic_derivs(a), fb = logistic_derivs(b);
    const double p1 = fa.d1 - fb.d1;
    d1[i] = -2.0 * p1 / p;
    d2[i] = 2.0 * (p1 * p1 / p + fa.d2 - fb.d2) / p;
  }
}

}  // namespace quelt

#include "fit/quantile_constants.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/numeric.hpp"

namespace quelt {

namespace {

constexpr double kLnFour = 1.3862943611198906;
// λ = kLambdaScale·W^(−1/3)·√(4τ(1−τ))·√s; see automatic_elf_lambda.
constexpr double kLambdaScale = 2.3;
// Half-width of the clipping of y for the warm start, in robust standard
// deviations of y: wide enough to leave the rows of any ordinary smooth
// signal with its noise alone, narrow enough that heavy tails or one wild
// value do not drag the least-squares fit, and with it the residual scale.
constexpr double kClipRobustSds = 10.0;

double weight_of(const std::optional<Vector>& a, std::size_t i) { return a ? (*a)[i] : 1.0; }

}  // namespace

double response_unit(std::span<const double> y, const std::optional<Vector>& a, double total) {
  double top = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i)
    if (weight_of(a, i) > 0.0) top = std::fmax(top, std::fabs(y[i]));
  if (!(top > 0.0)) return 1.0;
  // On y/top every deviation and square stays finite.
  std::vector<double> v(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) v[i] = weight_of(a, i) > 0.0 ? y[i] / top : 0.0;
  const double robust = robust_location(v, a, total).sd;
  if (robust > 0.0 && std::isfinite(1.0 / robust) &&
      robust * top >= std::numeric_limits<double>::min())
    return robust * top;
  double mean = 0.0, ss = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) mean += weight_of(a, i) * v[i];
  mean /= total;
  for (std::size_t i = 0; i < v.size(); ++i) ss += weight_of(a, i) * (v[i] - mean) * (v[i] - mean);
  const double sd = std::sqrt(ss / total);
  return (sd > 0.0 ? sd : std::fabs(mean)) * top;
}

Vector clipped_response(std::span<const double> y, const std::optional<Vector>& a, double total) {
  Vector out(y.begin(), y.end());
  const RobustLocation loc = robust_location(y, a, total);
  const double half = kClipRobustSds * loc.sd;
  if (!(half > 0.0)) return out;
  for (double& v : out) v = std::clamp(v, loc.median - half, loc.median + half);
  return out;
}

double robust_residual_variance(std::span<const double> e, const std::optional<Vector>& a,
                                double total, double floor) {
  const double sd = robust_location(e, a, total).sd;
  double s = sd * sd;
  if (!(s > 0.0)) {
    double rss = 0.0;
    for (std::size_t i = 0; i < e.size(); ++i)
      if (weight_of(a, i) > 0.0) rss += weight_of(a, i) * e[i] * e[i];
    s = rss / total;
  }
  return floor_at(s, floor);
}

double automatic_elf_sigma(double s, double tau) {
  return 0.05 * std::sqrt(kTwoPi * s) / kLnFour * std::fmax(1.0 / ((4.0 * tau) * (1.0 - tau)), 1.0);
}

// The fit targets the τ-quantile of y − λL, L a standard logistic draw, so
// the loss smoothing moves the curve by about (π²/6)·λ²·f′(q)/f(q), f the
// error density at its τ-quantile q. And the curvature of the loss,
// Σ p(1−p)/(σλ), is a kernel estimate of f(q)/σ with bandwidth λ, on which
// the covariance rests. So λ is a bandwidth and shrinks with the data like
// one. Its rate, W^(−1/3), is the one that suits the coverage of intervals
// built on such a density estimate: the slower W^(−1/5) that suits the
// density itself either leaves the bias of skewed errors at the extreme
// levels at n ≈ 5000, or with a smaller constant makes the covariance too
// noisy at n ≈ 500. The factor √(4τ(1−τ)) narrows it toward the extreme
// levels, where |f′/f| grows and few rows lie beyond the curve; it keeps the
// offset of each term's minimum, λ·ln((1−τ)/τ), below 1.4 times the width at
// τ = ½. W is floored at 1 so that weights summing to less than one row do
// not widen it further. The constant 2.3 was chosen on simulated smooths
// with normal, skewed (Gamma) and t₃ errors: at n = 5000 the share of y
// below the curve is within 3√(τ(1−τ)/n) of τ for 0.01 ≤ τ ≤ 0.99, and the
// 95% intervals of the curve cover 0.86–0.96 at n = 500 to 5000 (0.9 and
// extreme levels included).
double automatic_elf_lambda(double s, double tau, double total) {
  return kLambdaScale * std::cbrt(1.0 / std::fmax(total, 1.0)) *
         std::sqrt((4.0 * tau) * (1.0 - tau)) * std::sqrt(s);
}

}  // namespace quelt

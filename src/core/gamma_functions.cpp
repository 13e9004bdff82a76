#include "core/gamma_functions.hpp"

#include <cmath>

namespace quelt {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLnSqrtTwoPi = 0.9189385332046727;  // ln √(2π)
// The recurrences of ψ and ψ′ run until the argument reaches this value,
// where the truncated asymptotic series is good to about 1e-10.
constexpr double kAsymptoticFrom = 6.0;

}  // namespace

double ln_gamma(double x) {
  if (x < 0.5) return std::log(kPi / std::sin(kPi * x)) - ln_gamma(1.0 - x);
  static constexpr double c[9] = {
      0.9999999999998099,   676.5203681218851,     -1259.1392167224028,
      771.3234287776531,    -176.6150291621406,    12.507343278686905,
      -0.13857109526572012, 9.984369578019572e-06, 1.5056327351493116e-07};
  const double t = x - 1.0;
  double a = c[0];
  for (int i = 1; i < 9; ++i) a += c[i] / (t + static_cast<double>(i));
  const double u = t + 7.0 + 0.5;
  return (t + 0.5) * std::log(u) + kLnSqrtTwoPi - u + std::log(a);
}

double digamma(double x) {
  // Without the reflection the recurrence would take |x| steps (and never
  // end once x + 1 rounds to x).
  if (x < 0.0) return digamma(1.0 - x) - kPi / std::tan(kPi * x);
  double s = 0.0;
  while (x < kAsymptoticFrom) {
    s -= 1.0 / x;
    x += 1.0;
  }
  const double t = 1.0 / x, t2 = t * t;
  return s + (std::log(x) - 0.5 * t) - t2 / 12.0 + t2 * t2 / 120.0 - t2 * t2 * t2 / 252.0 +
         t2 * t2 * t2 * t2 / 240.0;
}

double trigamma(double x) {
  if (x < 0.0) {
    const double s = std::sin(kPi * x);
    return kPi * kPi / (s * s) - trigamma(1.0 - x);
  }
  double s = 0.0;
  while (x < kAsymptoticFrom) {
    s += 1.0 / (x * x);
    x += 1.0;
  }
  const double t = 1.0 / x, t2 = t * t;
  const double t5 = t2 * t2 * t, t7 = t5 * t2, t9 = t7 * t2;
  return s + (t + 0.5 * t2) + t * t2 / 6.0 - t5 / 30.0 + t7 / 42.0 - t9 / 30.0;
}

DigammaTrigamma digamma_trigamma(double x) {
  if (x < 0.0) return {digamma(x), trigamma(x)};
  double s0 = 0.0, s1 = 0.0;
  while (x < kAsymptoticFrom) {
    const double r = 1.0 / x;
    s0 -= r;
    s1 += r * r;
    x += 1.0;
  }
  const double t = 1.0 / x, t2 = t * t;
  const double t5 = t2 * t2 * t, t7 = t5 * t2, t9 = t7 * t2;
  const double psi = s0 + (std::log(x) - 0.5 * t) - t2 / 12.0 + t2 * t2 / 120.0 -
                     t2 * t2 * t2 / 252.0 + t2 * t2 * t2 * t2 / 240.0;
  const double psi1 = s1 + (t + 0.5 * t2) + t * t2 / 6.0 - t5 / 30.0 + t7 / 42.0 - t9 / 30.0;
  return {psi, psi1};
}

}  // namespace quelt

// The gamma function family of the likelihoods and scores: ln Γ, the digamma ψ and
// the trigamma ψ′. Pure functions of one double; any thread.
#pragma once

namespace quelt {

// ln Γ(x).
// Formula: Lanczos approximation with g = 7 and nine coefficients, for
//   x ≥ 0.5:  t = x − 1, A = c0 + Σ_{i=1..8} c_i/(t + i),  u = t + 7.5,
//             ln Γ(x) = (t + 0.5)·ln u + ln √(2π) − u + ln A;
//   x < 0.5:  the reflection ln Γ(x) = ln(π / sin(πx)) − ln Γ(1 − x).
// Domain: every x where Γ(x) > 0. No absolute value is taken in the
//   reflection, so where Γ(x) < 0 (−1 < x < 0, −3 < x < −2, ...) the result is
//   NaN; the poles 0, −1, −2, ... give ±inf or NaN.
// Accuracy: |error| ≤ 3e-15·max(1, |ln Γ(x)|) for 0 < x < 1e7 (the relative
//   error stays at rounding level for larger x); near the zeros x = 1 and 2
//   the error is absolute, about 1e-15.
// NaN: a NaN or infinite argument gives NaN.
double ln_gamma(double x);

// ψ(x) = d ln Γ(x)/dx.
// Formula: for x ≥ 0, the upward recurrence ψ(x) = ψ(x + 1) − 1/x until
//   x ≥ 6, then the asymptotic series
//     ψ(x) ≈ ln x − 1/(2x) − 1/(12x²) + 1/(120x⁴) − 1/(252x⁶) + 1/(240x⁸);
//   for x < 0, the reflection ψ(x) = ψ(1 − x) − π/tan(πx), which keeps the
//   work bounded for any negative argument.
// Domain: every x except the poles 0, −1, −2, ...: +0 gives −inf, the
//   negative integers give huge finite values of either sign.
// Accuracy: the truncated series dominates: |error| ≤ 1.2e-10 for x > 0
//   (relative error ≤ 3e-10 for x > 2, where |ψ| is not small). Near the
//   negative poles the reflection loses relative accuracy.
// NaN: a NaN argument gives NaN; +inf gives +inf, −inf gives NaN.
double digamma(double x);

// ψ′(x) = d² ln Γ(x)/dx².
// Formula: for x ≥ 0, the recurrence ψ′(x) = ψ′(x + 1) + 1/x² until x ≥ 6,
//   then the asymptotic series
//     ψ′(x) ≈ 1/x + 1/(2x²) + 1/(6x³) − 1/(30x⁵) + 1/(42x⁷) − 1/(30x⁹);
//   for x < 0, the reflection ψ′(x) = π²/sin²(πx) − ψ′(1 − x).
// Domain: every x except the poles 0, −1, −2, ...: 0 gives +inf, the
//   negative integers give huge finite values.
// Accuracy: relative error ≤ 1.1e-9 for x > 0 (absolute ≤ 2e-10 for x ≥ 1).
// NaN: a NaN argument gives NaN; +inf gives 0, −inf gives NaN.
double trigamma(double x);

// ψ(x) and ψ′(x) together: the recurrences and series of digamma and
// trigamma above in one pass, sharing each 1/x. The same values to rounding
// at about the cost of one of them; x < 0 takes the two reflections.
struct DigammaTrigamma {
  double psi;
  double psi1;
};
DigammaTrigamma digamma_trigamma(double x);

}  // namespace quelt

// Unit and weighted deviances of the families that iterate on a deviance,
// the clamps and floors their formulas share, and the starting means of the
// iterations.
//
// Weights: `w` is either empty, meaning every prior weight is 1.0, or holds at
// least y.size() entries; `μ` must hold at least y.size() entries. A shorter
// span is a broken contract (InvariantViolation), never an out-of-bounds read.
//
// Floors: μ' = max(μ, 1e-300) and y' = max(y, 1e-300), where a NaN argument
// gives the floor. The binomial clamp of μ to [1e-15, 1 − 1e-15] is two
// comparisons, so a NaN mean stays NaN. Values outside a family's domain give
// IEEE results (NaN, ∞); responses are checked by the drivers beforehand.
#pragma once

#include <cmath>
#include <span>

#include "core/matrix.hpp"
#include "core/numeric.hpp"

namespace quelt {

// ---- unit deviances d(y, μ) -----------------------------------------------

// Floor of the means (and of y where a family takes its logarithm): keeps
// ln μ and 1/μ finite for a mean that underflowed to 0.
inline constexpr double kMeanFloor = 1e-300;
// The binomial clamp [1e-15, 1 − 1e-15]: ln μ and ln(1 − μ) stay finite
// (≥ ln 1e-15 ≈ −34.5) for a mean that rounded to 0 or 1; 1e-15 is about
// nine units in the last place below 1, so 1 − μ still resolves the upper
// end.
inline constexpr double kBinomialMuLow = 1e-15;
inline constexpr double kBinomialMuHigh = 0.999999999999999;  // 1 − 1e-15

// μ limited to [kBinomialMuLow, kBinomialMuHigh] by two comparisons, so a
// NaN mean stays NaN. The one clamp of every binomial formula.
inline double binomial_clamp(double mu) {
  double q = mu;
  if (q < kBinomialMuLow) q = kBinomialMuLow;
  if (q > kBinomialMuHigh) q = kBinomialMuHigh;
  return q;
}

// 2·[y ln(y/q) + (1 − y) ln((1 − y)/(1 − q))], q = μ clamped to
// [1e-15, 1 − 1e-15]; a term whose factor y (or 1 − y) is zero is dropped.
inline double binomial_unit_deviance(double y, double mu) {
  const double q = binomial_clamp(mu);
  const double a = y > 0.0 ? y * std::log(y / q) : 0.0;
  const double b = y < 1.0 ? (1.0 - y) * std::log((1.0 - y) / (1.0 - q)) : 0.0;
  return 2.0 * (a + b);
}

// y > 0: 2·[y ln(y/μ') − (y − μ')]; otherwise 2μ'.
inline double poisson_unit_deviance(double y, double mu) {
  const double m = floor_at(mu, kMeanFloor);
  if (y > 0.0) return 2.0 * (y * std::log(y / m) - (y - m));
  return 2.0 * m;
}

// y > 0: 2·[y ln(y/μ') − (y + θ) ln((y + θ)/(θ + μ'))];
// otherwise 2θ·ln((θ + μ')/θ). The y > 0 branch is taken as
//   2·[y·ln(1 + θ(y − μ')/(μ'(y + θ))) − θ·ln(1 + (y − μ')/(θ + μ'))],
// both arguments of ln(1 + ·) above −1, whose terms are of the size of θ and
// of the deviance itself: the two terms of the first form are each of the
// size of y·|ln(y/μ')| and cancel (at y = 1e11 they left 1e-5 of rounding
// per row, which the θ-differences of the score divide by their step), and
// as θ grows the first term tends to y·ln(y/μ') and the second to y − μ',
// the Poisson limit.
inline double negbin_unit_deviance(double y, double mu, double theta) {
  const double m = floor_at(mu, kMeanFloor);
  if (y > 0.0) {
    const double r = y - m;
    const double shift = theta / (y + theta);
    return 2.0 * (y * std::log1p((r / m) * shift) - theta * std::log1p(r / (theta + m)));
  }
  return 2.0 * (theta * std::log1p(m / theta));
}

// y > 0: 2·[y^(2−p)/((1−p)(2−p)) − y·μ'^(1−p)/(1−p) + μ'^(2−p)/(2−p)];
// otherwise 2μ'^(2−p)/(2−p).
inline double tweedie_unit_deviance(double y, double mu, double p) {
  const double m = floor_at(mu, kMeanFloor);
  if (y > 0.0) {
    return 2.0 * (std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p)) -
                  y * std::pow(m, 1.0 - p) / (1.0 - p) + std::pow(m, 2.0 - p) / (2.0 - p));
  }
  return 2.0 * std::pow(m, 2.0 - p) / (2.0 - p);
}

// 2·[(y' − μ')/μ' + ln(μ'/y')], both y and μ floored.
inline double gamma_unit_deviance(double y, double mu) {
  const double yf = floor_at(y, kMeanFloor);
  const double m = floor_at(mu, kMeanFloor);
  return 2.0 * ((yf - m) / m + std::log(m / yf));
}

// (y' − μ')²/(y'·μ'²), both floored; no factor 2.
inline double inverse_gaussian_unit_deviance(double y, double mu) {
  const double yf = floor_at(y, kMeanFloor);
  const double m = floor_at(mu, kMeanFloor);
  const double r = yf - m;
  return r * r / (yf * (m * m));
}

// (ν + 1)·ln(1 + (y − μ)²/(ν·σ²)); no floors, no factor 2.
inline double tdist_unit_deviance(double y, double mu, double nu, double sigma2) {
  const double r = y - mu;
  return (nu + 1.0) * std::log(1.0 + r * r / (nu * sigma2));
}

// ---- weighted deviances -----------------------------------------------------
// Σ_i w_i·d(y_i, μ_i), i = 0..n−1 in index order, n = y.size(); 0 for an
// empty y. `w` empty means unit weights.

double binomial_deviance(std::span<const double> y, std::span<const double> mu,
                         std::span<const double> w);
double poisson_deviance(std::span<const double> y, std::span<const double> mu,
                        std::span<const double> w);
double negbin_deviance(std::span<const double> y, std::span<const double> mu,
                       std::span<const double> w, double theta);
double tweedie_deviance(std::span<const double> y, std::span<const double> mu,
                        std::span<const double> w, double p);
double gamma_deviance(std::span<const double> y, std::span<const double> mu,
                      std::span<const double> w);
double inverse_gaussian_deviance(std::span<const double> y, std::span<const double> mu,
                                 std::span<const double> w);
double tdist_deviance(std::span<const double> y, std::span<const double> mu,
                      std::span<const double> w, double nu, double sigma2);

// ---- starting means ---------------------------------------------------------
// Each returns a new vector of y.size() entries (empty for an empty y).

// (y_i + 0.5)·0.5, not clamped.
Vector binomial_initial_mu(std::span<const double> y);
// max(y_i, 0.1); also the start of NegBin and Tweedie.
Vector poisson_initial_mu(std::span<const double> y);
// max(y_i, 0.001); also the start of InverseGaussian.
Vector gamma_initial_mu(std::span<const double> y);
// (ȳ + y_i)·0.5, ȳ the mean of y summed in index order.
Vector tdist_initial_mu(std::span<const double> y);

}  // namespace quelt

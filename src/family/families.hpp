// Family values: one type per (distribution, link) pair, used as a
// compile-time trait by every generic fitting routine (`template <class F>`);
// nothing on the fitting path dispatches on the family at run time.
//
// Every family type F carries:
//   static constexpr Link link                         its fixed link
//   static constexpr const char* display_name          name used in the data-check
//                                                      messages; nullptr where the
//                                                      family has none (Gaussian,
//                                                      TDist, Ocat)
//   static constexpr bool uses_warm_start              REML evaluations start the
//                                                      inner fit from the extrapolated
//                                                      previous coefficients
//   static constexpr bool has_weight_derivative_terms  the REML Hessian includes the
//                                                      change of the working weights
// The two flags describe the REML path of the families without estimated shape
// parameters; the shape families (NegBin, TDist, Tweedie, Ocat) are scored by
// the shape-aware score instead and have both flags false.
//
// The families of the REML score over ρ alone (Gaussian, Bernoulli,
// QuasiBinomial, Poisson, QuasiPoisson, GammaLog, GammaInverse,
// InverseGaussian) also carry every fact the generic score, outer loop and
// driver ask of them, so that a new family of that kind is one struct:
//   static constexpr Scale scale                 φ known (1) or estimated
//   static constexpr Saturated saturated         form of the saturated
//                                                log-likelihood ls(φ) of the score
//   static constexpr Information information     the curvature H of the score
//   static constexpr YDomain y_domain            responses the data checks accept
//   static constexpr OuterTolerances outer_tolerances
//                                                default tolerances of the
//                                                outer Newton loop (also Elf,
//                                                TDist, Tweedie and Ocat)
//   static constexpr double mean_floor           least mean of the Pearson
//                                                statistic (not Gaussian)
//   static constexpr int variance_power          k of V(μ) = μ^k (quasi-Poisson
//                                                1, Gamma 2, inverse Gaussian 3
//                                                only): the powers by which a
//                                                change of the units of y moves
//                                                the fit
//   static double variance(double μ)             V(μ), unfloored; the Pearson
//                                                statistic, the working weights
//                                                and the data's own dispersion
//                                                all read it
//
// Families that iterate on a deviance also provide
//   double deviance(y, μ, w) const   Σ_i w_i·d(y_i, μ_i) in index order,
//                                    with the value's current shape fields;
//   Vector initial_mu(y) const       the starting means of the iteration
// (family/deviances.hpp). Gaussian (closed-form fit), Ocat (log-likelihood
// criterion) and Elf (its own objective) have neither.
//
// Gamma comes with two links and each is its own type (GammaInverse for the
// inverse link, GammaLog for the log link), so that every consumer is
// instantiated separately for each.
#pragma once

#include <cstddef>
#include <span>

#include "core/matrix.hpp"
#include "family/deviances.hpp"
#include "family/link.hpp"

namespace quelt {

// ---- facts the generic fitting code reads ---------------------------------

// The scale φ: fixed at 1 by the distribution, or estimated from the fit.
enum class Scale { Known, Estimated };

// The form of the saturated log-likelihood ls(φ) in the REML score, which
// also fixes how the score estimates φ (n the rows of positive weight, Σ over
// them, w the prior weights: frequency weights where φ = 1, precision
// weights, row dispersion φ/w, where φ is estimated):
enum class Saturated {
  Poisson,          // Σ w (y ln y − y) over y > 0; φ = 1
  Binomial,         // Σ w (q ln q + (1 − q) ln(1 − q)) over 0 < y < 1, q the
                    // clamped y; φ = 1
  Normal,           // −n/2·ln(2πφ), φ = D_p/(n − Mp)
  InverseGaussian,  // Σ [−½ ln(2πφ/w) − 3/2 ln y], φ = D_p/(n − Mp)
  Gamma,            // Σ [a ln a − a − ln Γ(a) − ln y], a = w/φ, φ the root of
                    // the score's stationarity in φ
};

// The curvature H = Xᵀdiag(W)X + S_λ of the score's Laplace approximation.
enum class Information {
  // W the fit's Fisher weights throughout (canonical links: the observed and
  // expected information agree).
  Fisher,
  // Fisher weights in log|H|, but the coefficients move along ρ by the
  // observed information, dβ/dρ_j = −λ_j·H_obs⁻¹S_jβ, W_obs = α·W (the
  // Gamma log link, whose Fisher weights are constant while α = y/μ).
  ObservedSlope,
  // The full-Newton (observed) weights W·α in log|H| and its gradient, the
  // Hessian over ρ by differences (the inverse Gaussian log link).
  FullNewton,
};

// The responses a family accepts.
enum class YDomain { Real, UnitInterval, NonNegative, Positive };

// Default tolerances of the damped Newton loop over ρ: on the largest
// gradient entry and on the relative change of the score, both relative to
// the score's magnitude (outer/newton.hpp).
struct OuterTolerances {
  double grad = 0.0;
  double reml = 0.0;
};
inline constexpr OuterTolerances kOuterTolerances{5e-7, 1e-7};
// The Gamma and inverse Gaussian scores are flatter in ρ (their scale is
// estimated jointly), so their tolerances are looser.
inline constexpr OuterTolerances kFlatScoreOuterTolerances{5e-5, 1e-5};

// ---- family types -----------------------------------------------------------

struct Gaussian {
  static constexpr Link link = Link::Identity;
  static constexpr const char* display_name = nullptr;
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr Scale scale = Scale::Estimated;
  static constexpr Saturated saturated = Saturated::Normal;
  static constexpr Information information = Information::Fisher;
  static constexpr YDomain y_domain = YDomain::Real;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  static double variance(double) { return 1.0; }
};

// Bernoulli and quasi-binomial: V(μ) = q(1 − q) at the clamped mean q, so
// that a mean that rounds to 0 or 1 keeps a positive variance.
inline double binomial_variance(double mu) {
  const double q = binomial_clamp(mu);
  return q * (1.0 - q);
}

struct Bernoulli {
  static constexpr Link link = Link::Logit;
  static constexpr const char* display_name = "Bernoulli";
  static constexpr bool uses_warm_start = true;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr Scale scale = Scale::Known;
  static constexpr Saturated saturated = Saturated::Binomial;
  static constexpr Information information = Information::Fisher;
  static constexpr YDomain y_domain = YDomain::UnitInterval;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  static constexpr double mean_floor = kBinomialMuLow;
  static double variance(double mu) { return binomial_variance(mu); }
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return binomial_deviance(y, mu, w);
  }
  Vector initial_mu(std::span<const double> y) const { return binomial_initial_mu(y); }
};

struct QuasiBinomial {
  static constexpr Link link = Link::Logit;
  static constexpr const char* display_name = "QuasiBinomial";
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr Scale scale = Scale::Estimated;
  static constexpr Saturated saturated = Saturated::Normal;
  static constexpr Information information = Information::Fisher;
  static constexpr YDomain y_domain = YDomain::UnitInterval;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  static constexpr double mean_floor = kBinomialMuLow;
  static double variance(double mu) { return binomial_variance(mu); }
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return binomial_deviance(y, mu, w);
  }
  Vector initial_mu(std::span<const double> y) const { return binomial_initial_mu(y); }
};

struct Poisson {
  static constexpr Link link = Link::Log;
  static constexpr const char* display_name = "Poisson";
  static constexpr bool uses_warm_start = true;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr Scale scale = Scale::Known;
  static constexpr Saturated saturated = Saturated::Poisson;
  static constexpr Information information = Information::Fisher;
  static constexpr YDomain y_domain = YDomain::NonNegative;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  static constexpr double mean_floor = kMeanFloor;
  static double variance(double mu) { return mu; }
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return poisson_deviance(y, mu, w);
  }
  Vector initial_mu(std::span<const double> y) const { return poisson_initial_mu(y); }
};

struct QuasiPoisson {
  static constexpr Link link = Link::Log;
  static constexpr const char* display_name = "QuasiPoisson";
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr Scale scale = Scale::Estimated;
  static constexpr Saturated saturated = Saturated::Normal;
  static constexpr Information information = Information::Fisher;
  static constexpr YDomain y_domain = YDomain::NonNegative;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  static constexpr double mean_floor = kMeanFloor;
  static constexpr int variance_power = 1;
  static double variance(double mu) { return mu; }
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return poisson_deviance(y, mu, w);
  }
  Vector initial_mu(std::span<const double> y) const { return poisson_initial_mu(y); }
};

// Gamma with the inverse link ("Gamma") or the log link ("gamma"). Under the
// inverse link the Fisher weight W = μ² moves with η, so the REML Hessian
// takes its change; under the log link W = 1 and those terms vanish, while
// the observed weight α·W = y/μ differs from it.
template <Link L>
struct Gamma {
  static_assert(L == Link::Inverse || L == Link::Log, "Gamma takes the inverse or the log link");
  static constexpr Link link = L;
  static constexpr const char* display_name = "Gamma";
  static constexpr bool uses_warm_start = true;
  static constexpr bool has_weight_derivative_terms = L == Link::Inverse;
  static constexpr Scale scale = Scale::Estimated;
  static constexpr Saturated saturated = Saturated::Gamma;
  static constexpr Information information =
      L == Link::Log ? Information::ObservedSlope : Information::Fisher;
  static constexpr YDomain y_domain = YDomain::Positive;
  static constexpr OuterTolerances outer_tolerances = kFlatScoreOuterTolerances;
  static constexpr double mean_floor = kMeanFloor;
  static constexpr int variance_power = 2;
  static double variance(double mu) { return mu * mu; }
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return gamma_deviance(y, mu, w);
  }
  Vector initial_mu(std::span<const double> y) const { return gamma_initial_mu(y); }
};
using GammaInverse = Gamma<Link::Inverse>;
using GammaLog = Gamma<Link::Log>;

struct InverseGaussian {
  static constexpr Link link = Link::Log;
  static constexpr const char* display_name = "InverseGaussian";
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr Scale scale = Scale::Estimated;
  static constexpr Saturated saturated = Saturated::InverseGaussian;
  static constexpr Information information = Information::FullNewton;
  static constexpr YDomain y_domain = YDomain::Positive;
  static constexpr OuterTolerances outer_tolerances = kFlatScoreOuterTolerances;
  static constexpr double mean_floor = kMeanFloor;
  static constexpr int variance_power = 3;
  static double variance(double mu) { return mu * (mu * mu); }
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return inverse_gaussian_deviance(y, mu, w);
  }
  Vector initial_mu(std::span<const double> y) const { return gamma_initial_mu(y); }
};

// Negative binomial with size θ > 0.
struct NegBin {
  static constexpr Link link = Link::Log;
  static constexpr const char* display_name = "NegBin";
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = false;
  double theta = 2.0;
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return negbin_deviance(y, mu, w, theta);
  }
  Vector initial_mu(std::span<const double> y) const { return poisson_initial_mu(y); }
};

// Scaled t with ν degrees of freedom and scale σ².
struct TDist {
  static constexpr Link link = Link::Identity;
  static constexpr const char* display_name = nullptr;
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = false;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  double nu = 5.0;
  double sigma2 = 1.0;
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return tdist_deviance(y, mu, w, nu, sigma2);
  }
  Vector initial_mu(std::span<const double> y) const { return tdist_initial_mu(y); }
};

// Tweedie with variance power p (1 < p < 2) and dispersion phi. The deviance
// reads p only. estimate_p: p is estimated with the other parameters (p is
// then its current value), otherwise it stays fixed.
struct Tweedie {
  static constexpr Link link = Link::Log;
  static constexpr const char* display_name = "Tweedie";
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = false;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  double p = 1.5;
  double phi = 1.0;
  bool estimate_p = false;
  double deviance(std::span<const double> y, std::span<const double> mu,
                  std::span<const double> w) const {
    return tweedie_deviance(y, mu, w, p);
  }
  Vector initial_mu(std::span<const double> y) const { return poisson_initial_mu(y); }
};

// Ordered categorical with n_cats = R categories; `thresholds` holds the
// R − 2 log-gaps between adjacent cut points above the first.
struct Ocat {
  static constexpr Link link = Link::Identity;
  static constexpr const char* display_name = nullptr;
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = false;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  Vector thresholds;
  std::size_t n_cats = 0;
};

// Extended log-F quantile family: quantile level τ, scale σ and smoothing
// width λ of the check loss.
struct Elf {
  static constexpr Link link = Link::Identity;
  static constexpr const char* display_name = "ELF";
  static constexpr bool uses_warm_start = false;
  static constexpr bool has_weight_derivative_terms = true;
  static constexpr OuterTolerances outer_tolerances = kOuterTolerances;
  double tau = 0.5;
  double sigma = 0.0;
  double lambda = 0.0;
};

// ---- constructors -----------------------------------------------------------

inline Gaussian gaussian_identity() { return {}; }
inline Bernoulli bernoulli_logit() { return {}; }
inline QuasiBinomial quasibinomial_logit() { return {}; }
inline Poisson poisson_log() { return {}; }
inline QuasiPoisson quasipoisson_log() { return {}; }
inline GammaInverse gamma_inverse() { return {}; }
inline GammaLog gamma_log() { return {}; }
inline InverseGaussian inverse_gaussian_log() { return {}; }
inline NegBin negbin_log(double theta) { return NegBin{theta}; }
inline TDist tdist_identity(double nu, double sigma2) { return TDist{nu, sigma2}; }
inline Tweedie tweedie_log(double p, double phi) { return Tweedie{p, phi}; }
// R categories with all R − 2 log-gaps zero (unit spacing of the cut points);
// R < 3 fails as `ocat_new` (family/ocat.hpp) fails.
Result<Ocat> ocat_identity(std::size_t n_cats);
inline Elf elf_identity(double tau, double sigma, double lambda) { return Elf{tau, sigma, lambda}; }

}  // namespace quelt

// Penalized iteratively re-weighted least squares with step halving.
//
// For fixed smoothing parameters, pirls finds β minimising the penalized
// deviance P(β) = D(β) + βᵀS_λβ of a GLM with model matrix X: each
// iteration solves (XᵀWX + S_λ)β = XᵀWz with the working weights W and
// responses z at the current mean, written for the step δ from the β whose
// Xβ is the current η, (XᵀWX + S_λ)δ = XᵀW(z − η) − S_λβ. The solve adds
// a relative ridge R = 1e-12·diag|H| (add_relative_ridge) to H = XᵀWX +
// S_λ: on δ it only damps the step, and the iteration stops where P's
// gradient −2(XᵀW(z − η) − S_λβ) vanishes, at the minimum of P. Solved for β
// the ridge would pull β towards 0 and the loop would stop at the minimum
// of P + βᵀRβ instead; with one row of weight 1e12 R is of order one,
// larger than many λ, and such fits ended 1e-3 of P above P's minimum and
// more. The solve's rounding is also relative to δ, which vanishes at the
// minimum, rather than to β. The loop then halves the step back towards the
// last accepted β (at most kPirlsMaxHalvings times) while the trial is
// non-finite or, after the first iteration, raises P by more than
// pirls_step_allowance(P_old, f). The loop ends converged when the relative
// change of D between two accepted iterates, |ΔD| / (|D_old| + f), is below
// InnerOptions::tol (never in the first iteration), or, where
// InnerOptions::stall_iters asks for it, when P has stopped falling
// (pirls_stalled); f = deviance_floor is the data-relative level of
// the deviance's rounding noise. It ends unconverged at the iteration limit
// or when halving fails, and returns the last accepted iterate.
//
// Instantiated for the parameterless iterative families: Bernoulli,
// QuasiBinomial, Poisson, QuasiPoisson, GammaLog, GammaInverse and
// InverseGaussian. The loop itself (inner/pirls_loop.hpp) is generic over
// the family's working quantities (Working<Family>, inner/working.hpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "core/numeric.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "inner/weighted_moments.hpp"

namespace quelt {

// Fit at the total penalty S_λ = s_lambda (p x p, formed by the caller with
// s_lambda(penalties, ρ)). A warm start beta0 (p entries) sets the starting
// linear predictor Xβ₀ and the base of the first step; without one the
// start is g(initial_mu(y)); the context's eta_start replaces either. The
// accepted β itself starts at zero (under the inverse link at the constant
// η = 1/ȳ, see pirls_mean_usable): the first iteration halves back towards
// it.
//
// Returned record: β, η, μ of the last accepted iterate; w, z and
// weighted_rss evaluated afresh there; chol the factor of the accepted
// iteration's XᵀWX + S_λ (or, when no iteration was accepted, of
// Xᵀdiag(w_prior)X + S_λ with add_relative_ridge's ridge); dw_deta
// the analytic dW/dη of the Fisher weight; x a view of the context's model
// matrix; iterations and converged as the loop ended.
//
// Errors: a failed factorization of the iteration's system is
// SingularSystem "PIRLS factor: {}" wrapping "Cholesky failed: {}"; a failed
// factorization of the fallback matrix is SingularSystem "Cholesky failed:
// {}". Non-finite values, the iteration limit and failed halving are not
// errors. The context is only read; the caller counts the fit in FitStats.
template <class Family>
Result<InnerFit> pirls(const FitContext<Family>& ctx, Matrix s_lambda,
                       const std::optional<Vector>& beta0 = std::nullopt);

// The loop behind pirls with the family value, the working quantities and
// the iteration limit given: `family` supplies the starting means, `work`
// (the interface of Working<Family>: link, pair, unit_deviance, dw_deta) the
// rows of every pass. pirls(ctx, S, β₀) is pirls_run(ctx, ctx.family,
// Working<Family>{ctx.family}, S, β₀, ctx.inner_options.max_iter). Defined
// in inner/pirls_loop.hpp for the files that instantiate it.
template <class Family, class Work>
Result<InnerFit> pirls_run(const FitContext<Family>& ctx, const Family& family, const Work& work,
                           Matrix s_lambda, const std::optional<Vector>& beta0,
                           std::size_t max_iter);

// Most halvings of one step: 2⁻¹⁰⁰ of a step is far below the resolution
// of any coefficient, so a trial still rejected then never will be accepted.
inline constexpr std::size_t kPirlsMaxHalvings = 100;
// The deviance below which D is rounding noise, in the data's own units:
// f = kDevianceFloorRel·Σw·u(ȳ), u(m) = m²/V(m) the deviance of one
// observation of unit weight at the size of the data (Working::deviance_unit),
// so that f follows D exactly under y → c·y and w → c·w. The loop measures
// against it where an absolute number would break that: the relative change
// |D_old − D_new| / (|D_old| + f) and the allowed rise of P in a step,
// 10·√ε·(|P_old| + f).
//
// Rounding leaves D uncertain by a few ε of Σw·u(ȳ) (measured up to
// 3e-16·Σw·u(ȳ) when every row is fitted exactly, where D is that noise
// alone). With f at 1e-6 of it the noise stays below tol = 1e-9 of f, so a
// fit that reproduces y converges, and far below the allowed rise, so its
// steps are not halved away. A D above f (a response whose coefficient of
// variation is above about 1e-3) is compared with itself as before.
inline constexpr double kDevianceFloorRel = 1e-6;
// f when no row has positive weight: a zero D_old still gives a finite ratio.
inline constexpr double kDevianceFloorNoData = 1e-30;

// f from the weighted moments of y and the family's working quantities
// (u = work.deviance_unit); kDevianceFloorRel·Σw when u(ȳ) is not a
// positive number (a zero response of the log-link families, which has no
// units).
template <class W>
double deviance_floor(const WeightedMoments& m, const W& work) {
  const double sum_w = m.mean_weight * static_cast<double>(m.n_obs);
  const double level = sum_w * work.deviance_unit(m.mean);
  if (level > 0.0 && std::isfinite(level)) return kDevianceFloorRel * level;
  if (sum_w > 0.0 && std::isfinite(sum_w)) return kDevianceFloorRel * sum_w;
  return kDevianceFloorNoData;
}

// The rise of P a trial may make after the first iteration: 10·√ε·(|P_old|
// + f), rounding noise in P (f = deviance_floor), so that a converged
// iterate is not halved away by it.
inline double pirls_step_allowance(double p_old, double deviance_floor) {
  return 10.0 * kSqrtEpsilon * (std::fabs(p_old) + deviance_floor);
}

// The penalized deviance at its rounding floor. Away from its minimum a
// (halved) Fisher step lowers P by far more than the allowance θ =
// pirls_step_allowance; at the minimum the steps only move β within the
// rounding of the solve, and P, accepted within θ, wanders without falling.
// When one row outweighs the others by many digits (one far response), that
// rounding moves D by far more than tol of itself, so the deviance test may
// be passed only by chance hundreds of iterations later. With
// InnerOptions::stall_iters = s > 0 the loop ends, converged, once s accepted
// iterations in a row leave P above its lowest accepted value less θ:
// nothing the solve resolves lowers P further. The standard families take
// s = kPirlsStallIters: their fits of ordinary data converge quadratically
// and pass the deviance test within an iteration or two of their gains
// falling below θ. Fits that may creep at a linear rate with gains below θ
// (the scaled t's, say) keep s = 0.
inline constexpr std::size_t kPirlsStallIters = 10;
inline bool pirls_stalled(std::size_t iterations_without_gain, std::size_t stall_iters) {
  return stall_iters > 0 && iterations_without_gain >= stall_iters;
}

// Whether one observation of a trial is usable: η_i, μ_i and d(y_i, μ_i)
// all finite.
inline bool pirls_row_finite(double eta, double mu, double unit_deviance) {
  return std::isfinite(eta) && std::isfinite(mu) && std::isfinite(unit_deviance);
}

// Whether a trial mean is one the family's deviance holds. Under the inverse
// link μ = 1/η is negative for η < 0, and below kMeanFloor the deviance and
// the weights are those of the floor, flat in η, so that a step into that
// region would be judged by a stand-in; such a trial is halved like a
// non-finite one. The region η > 0 is convex in β, so halving back towards
// an accepted (or anchor) β always leaves it. Under the other links every
// finite mean counts.
template <Link L>
inline bool pirls_mean_usable(double mu) {
  if constexpr (L == Link::Inverse) return mu >= kMeanFloor;
  return true;
}

// The step rule, true rejects the trial (halve again): a non-finite p_new or
// a trial with a non-finite row is rejected; in the first iteration
// everything else is accepted, later the trial is rejected exactly when
// p_new − p_old > theta (theta = pirls_step_allowance(p_old, f) in the loop).
inline bool pirls_reject_trial(bool first, double p_old, double theta, double p_new,
                               bool rows_finite) {
  if (!std::isfinite(p_new) || !rows_finite) return true;
  if (first) return false;
  return p_new - p_old > theta;
}

// The step rule on explicit trial rows: pirls_reject_trial with the rows
// checked observation by observation (η_i, μ_i and the unit deviance of the
// family). A non-finite p_new rejects before the rows are read; a null
// mu_new is then an internal invariant failure.
template <class Family>
bool pirls_reject_step(const FitContext<Family>& ctx, bool first, double p_old, double theta,
                       std::span<const double> eta_new, const Vector* mu_new, double p_new);

#define QUELT_PIRLS_EXTERN(F)                                                           \
  extern template Result<InnerFit> pirls<F>(const FitContext<F>&, Matrix,               \
                                            const std::optional<Vector>&);              \
  extern template bool pirls_reject_step<F>(const FitContext<F>&, bool, double, double, \
                                            std::span<const double>, const Vector*, double);
QUELT_PIRLS_EXTERN(Bernoulli)
QUELT_PIRLS_EXTERN(QuasiBinomial)
QUELT_PIRLS_EXTERN(Poisson)
QUELT_PIRLS_EXTERN(QuasiPoisson)
QUELT_PIRLS_EXTERN(GammaLog)
QUELT_PIRLS_EXTERN(GammaInverse)
QUELT_PIRLS_EXTERN(InverseGaussian)
#undef QUELT_PIRLS_EXTERN

}  // namespace quelt

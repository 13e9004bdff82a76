// The REML score over the log smoothing parameters ρ for the families
// without shape parameters, its gradient and its Hessian.
//
// At a converged inner fit (β, H = XᵀWX + S_λ, deviance D) the score is the
// Laplace-approximate restricted likelihood criterion
//
//   V(ρ) = ½log|H| + D_p/(2φ) − ½log|S_λ|₊ − (Mp/2)·ln(2πφ) − ls(φ)
//
// with D_p = D + Σ_j λ_j βᵀS_jβ, Mp the null-space dimension of the
// penalties and ls the family's saturated log-likelihood at scale φ.
// Smaller is better. The gradient treats β by the envelope theorem:
//
//   ∂V/∂ρ_j = λ_j b_j/(2φ) + ½λ_j tr(H⁻¹S_j) − ½∂log|S_λ|₊/∂ρ_j
//
// (b_j = βᵀS_jβ; score/penalty_pieces.hpp); the last term is r_j for a
// penalty that has its coefficient block to itself
// (design/penalty_groups.hpp).
//
// The family's traits choose the instance (family/families.hpp):
//   F::scale, F::saturated: φ = 1 with ls = Σ w ℓ(y) (Poisson, Bernoulli);
//     φ = D_p/(n − Mp) with ls = −n/2·ln(2πφ) (Gaussian and the quasi
//     families), plus Σ [½ ln w − 3/2 ln y] (inverse Gaussian, each row at
//     its own dispersion φ/w); or φ solving the score's stationarity in φ for
//     the Gamma saturated likelihood (score/gamma_scale.hpp).
//   F::information: FullNewton (inverse Gaussian) takes log|H| of the
//     full-Newton Hessian, and the traces and weight-derivative terms of that
//     Hessian in the gradient (score/newton_terms.hpp); its Hessian over ρ
//     then comes from differences. ObservedSlope (Gamma, log link) moves β
//     along ρ by the observed information in the Hessian.
// n counts the rows of positive prior weight (a row of zero weight is not
// data), and ls sums over those rows. The prior weights of the
// estimated-scale families are precision weights: row i has dispersion
// φ/w_i, so that multiplying every weight by c multiplies φ and λ by c and
// leaves the fit as it is. The estimated scale is floored at 1e-8 times the
// data's own dispersion (inner/weighted_moments.hpp, score/data_units.hpp),
// so that the result does not depend on the units of y or of the weights;
// Gamma's scale, which has the units of the weights only, at 1e-8 times the
// mean weight.
//
// Estimated-scale instances return the inadmissible record
// (score/score_fallback.hpp) at a point where D ≤ 0, D_p ≤ 0,
// p − Σ_j λ_j tr(H⁻¹S_j) ≥ n, or n ≤ Mp. A constant response is the
// exception to the first two: it is fitted exactly at every ρ, its zero
// deviance is the data's, and its scale sits at the floor.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/score_record.hpp"

namespace quelt {

// The inner fit at ρ: the closed-form solve where the context holds its
// cross products (Gaussian), otherwise PIRLS at S_λ = Σ_j exp(ρ_j) S_j
// started from beta0 when given (cold otherwise). Errors of the fit are
// returned unchanged; nothing is counted.
template <class Family>
Result<InnerFit> fit_at_rho(const FitContext<Family>& ctx, std::span<const double> rho,
                            const std::optional<Vector>& beta0 = std::nullopt);

// The score record of `fit`, the inner fit made at ρ (at least m entries;
// further entries only lengthen `lambda`). Reads the context, changes
// nothing. Never fails in practice; a degenerate point gives the
// inadmissible record.
template <class Family>
Result<EnvelopeScore> envelope_score(const FitContext<Family>& ctx, std::span<const double> rho,
                                     const InnerFit& fit);

// One outer evaluation at ρ (m entries): warm start (families with
// Family::uses_warm_start), inner fit, counters (inner_pirls_calls + 1,
// inner_pirls_iterations_total + fit.iterations, after a successful fit),
// score, Hessian, and (warm-start families, admissible point) the rewrite of
// the context's warm-start cache.
//
// The Hessian is the analytic one of score/reml_hessian.hpp, with the
// weight-derivative terms for the families with
// Family::has_weight_derivative_terms. At an inadmissible point, or when the
// score asks for it, it is the symmetrised central difference (step 1e-5)
// of cold-start gradients instead.
//
// Errors of the inner fit or of the score are returned unchanged; the
// counters move only after a successful fit, and the cache only after a
// successful evaluation at an admissible point. A failed warm-started fit is
// not retried cold.
template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho);

// envelope_eval that takes over `prior` (leaving it empty) when it matches
// this evaluation's ρ and warm start; otherwise fits as above and leaves
// `prior` alone. Counters and cache move exactly as for a fresh fit.
template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior);

// (score, gradient) at ρ from a cold inner fit; touches neither counters
// nor cache. Used by the difference Hessian.
template <class Family>
Result<std::pair<double, Vector>> envelope_score_at_rho(const FitContext<Family>& ctx,
                                                        std::span<const double> rho);

#define QUELT_ENVELOPE_EXTERN(F)                                                                \
  extern template Result<InnerFit> fit_at_rho<F>(const FitContext<F>&, std::span<const double>, \
                                                 const std::optional<Vector>&);                 \
  extern template Result<EnvelopeScore> envelope_score<F>(                                      \
      const FitContext<F>&, std::span<const double>, const InnerFit&);                          \
  extern template Result<OuterEval> envelope_eval<F>(FitContext<F>&, std::span<const double>);  \
  extern template Result<OuterEval> envelope_eval<F>(FitContext<F>&, std::span<const double>,   \
                                                     std::optional<PriorFit>&);                 \
  extern template Result<std::pair<double, Vector>> envelope_score_at_rho<F>(                   \
      const FitContext<F>&, std::span<const double>);
QUELT_ENVELOPE_EXTERN(Gaussian)
QUELT_ENVELOPE_EXTERN(Bernoulli)
QUELT_ENVELOPE_EXTERN(QuasiBinomial)
QUELT_ENVELOPE_EXTERN(Poisson)
QUELT_ENVELOPE_EXTERN(QuasiPoisson)
QUELT_ENVELOPE_EXTERN(GammaLog)
QUELT_ENVELOPE_EXTERN(GammaInverse)
QUELT_ENVELOPE_EXTERN(InverseGaussian)
#undef QUELT_ENVELOPE_EXTERN

}  // namespace quelt

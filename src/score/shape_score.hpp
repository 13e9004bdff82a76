// The Laplace-approximate restricted marginal likelihood (LAML) score of the
// families with shape parameters, over the joint point θ = [ρ, t] (log
// smoothing parameters, then shape coordinates; score/shape_traits.hpp), and
// its gradient.
//
// At the inner fit β̂ (H = XᵀWX + S_λ, deviance D) made with the shape values
// decoded from t, with λ_k = exp(ρ_k) and q_k = β̂ᵀS_kβ̂,
//
//   V = ½log|H| + D_p/(2φ) − (Mp/2)·ln(2πφ) − ½log|S_λ|₊ − ls,
//   D_p = D + Σ_k λ_k q_k,
//
// φ the family's dispersion (1 when the scale sits inside the deviance), ls
// its saturated log-likelihood and Mp the null-space dimension of the
// penalties. log|S_λ|₊ counts a penalty acting alone on its block with the
// family's rank count c_k (so it contributes ℓ_k + c_k·ρ_k), and a group of
// penalties sharing a block with the group's own log-determinant.
//
// Gradient over ρ, β̂ by the envelope theorem and H's weights held:
//   ∂V/∂ρ_k = λ_k q_k/(2φ) + ½λ_k tr(H⁻¹S_k) − ½∂log|S_λ|₊/∂ρ_k
// plus, for families whose weights move with η, ½u_k with
// u_k = Σ_i ½A_i·(dη_i/dρ_k)·h_i (A_i = ∂³D_i/∂η_i³, h_i = x_iᵀH⁻¹x_i,
// dη/dρ_k = −λ_k X H⁻¹S_kβ̂), and for families whose fit carries an
// iteration ridge ε·s, its derivative in log|H| and the change of D_p/2
// through β̂, which the ridge holds off the stationary point:
// ε·s·λ_k·(H⁻¹β̂)ᵀS_kβ̂. The shape part is the family's
// (ShapeTraits<F>::shape_gradient).
//
// Every refit is counted in the context's FitStats (inner_pirls_calls + 1,
// inner_pirls_iterations_total + the fit's iterations) after it succeeds;
// nothing else of the context changes.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

// The inner fit at θ with the family value decoded from θ's shape tail.
template <class F>
struct ThetaRefit {
  InnerFit fit;
  F family;
};

// Refits at θ (m + s entries, m the context's penalties): decodes the tail
// from the context's family value, runs the family's inner fit at ρ =
// θ[0..m) and counts it. The inner fit's error is returned unchanged and
// nothing is counted then.
template <class F>
Result<ThetaRefit<F>> refit_at_theta(FitContext<F>& ctx, std::span<const double> theta);

// The per-penalty pieces (score/penalty_pieces.hpp) at `fit` and ρ (m
// entries), log|S_λ|₊ with the family's rank counts; with `derivatives` also
// H⁻¹ and the traces tr(H⁻¹S_k).
template <class F>
PenaltyPieces shape_penalty_pieces(const FitContext<F>& ctx, const InnerFit& fit,
                                   std::span<const double> rho, bool derivatives);

// Σ_k ∂log|S_λ|₊/∂ρ_k: the total rank count of the penalties as the score
// counts them (it does not depend on ρ).
template <class F>
double penalty_rank_total(const FitContext<F>& ctx);

// V at a fit (made at ρ with the shape values of `family`).
template <class F>
double laml_score(const FitContext<F>& ctx, const InnerFit& fit, const F& family,
                  std::span<const double> rho, const PenaltyPieces& pieces);
template <class F>
double laml_score(const FitContext<F>& ctx, const InnerFit& fit, const F& family,
                  std::span<const double> rho);

// Refit at θ, then V; the refit's error unchanged.
template <class F>
Result<double> score_at(FitContext<F>& ctx, std::span<const double> theta);

// ∂V/∂ρ (m entries) at a fit, from pieces formed with derivatives.
template <class F>
Vector rho_gradient_core(const FitContext<F>& ctx, const InnerFit& fit, const F& family,
                         std::span<const double> rho, const PenaltyPieces& pieces);

// (V, ∂V/∂θ) at θ with one refit; the refit's error unchanged.
template <class F>
Result<std::pair<double, Vector>> laml_gradient(FitContext<F>& ctx, std::span<const double> theta);

// ∂V/∂θ at θ with the coefficients, means and H held at `base` (the refit of
// a nearby point, with its pieces formed with derivatives): the ρ part from
// the base's q_k and traces at θ's λ, the shape part from the family's
// shape gradient at θ's shape values with the deviance of the base means
// under them. No inner fit.
template <class F>
Vector eval_grad_frozen_beta(const FitContext<F>& ctx, std::span<const double> theta,
                             const ThetaRefit<F>& base, const PenaltyPieces& base_pieces);

}  // namespace quelt

// The ordered-categorical family (identity link, R categories) in the
// shape-aware score: the shape coordinates are the R − 2 log gaps θ of the
// cut points themselves (family/ocat.hpp), each in a box [−10, 10].
//
// The deviance D = −2·Σ_i w_i·ln P_i is the whole likelihood: φ = 1, ls = 0.
// The inner fit is the full-Newton fit (inner/full_newton.hpp) with the
// observed weights W_i = ½∂²D_i/∂η_i², so H = XᵀWX + S_λ + ε·s′·I moves with
// η: the ρ-gradient adds ½u_k from A_i = ∂³D_i/∂η_i³ and the derivative of
// the ridge ε·s′ (s′ the largest diagonal entry of XᵀWX + S_λ). The fit's
// own iteration ridge ε·s leaves β̂ solving ½∇D_p = −ε·s·β̂ rather than
// ∇D_p = 0, so D_p/2 also changes through β̂ by −ε·s·β̂ᵀdβ̂; the ρ-gradient
// includes it, ε·s·λ_k·(H⁻¹β̂)ᵀS_kβ̂ (without it the gradient's error grows
// with n, ε·s being a share of XᵀWX: 1e-3 at n = 500, 0.1 at n = 2000).
//
// Shape gradient, for each log gap θ_j with N_ij = ∂D_i/∂θ_j,
// C_ij = ∂²D_i/∂θ_j∂η_i, E_ij = ∂³D_i/∂θ_j∂η_i² (weighted):
//   ∂V/∂θ_j = ½Σ_i N_ij − ε·s·β̂ᵀdβ_j + ¼Σ_i g_i·(A_i·(X·dβ_j)_i + E_ij),
//   H·dβ_j = −½XᵀC_j,   g_i = x_iᵀH⁻¹x_i + ε·tr(H⁻¹)·x_ij*²,
// the first two terms the change of D_p/2 (directly and through β̂), the
// last ½d log|H|/dθ_j through the weights, which move with θ directly and
// through η = Xβ̂(θ), in XᵀWX and in the ridge scale s′ = (XᵀWX + S_λ)_j*j*
// (that term only when s′ > 1).
//
// Units: y holds category labels and carries none; the latent scale is fixed
// by the logistic distribution and the first cut point at −1. The score
// origin is 0. W̄ for the balanced ρ start is the mean working weight at the
// inner fit's start (each observation at the middle of its cell).
#pragma once

#include <cstddef>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

template <>
struct ShapeTraits<Ocat> {
  // R − 2, the number of log gaps.
  static std::size_t gap_count(const Ocat& base) { return base.n_cats > 2 ? base.n_cats - 2 : 0; }
  static Ocat decode(const Ocat& base, std::span<const double> tail);
  // max(r − 1, 1).
  static std::size_t rank_count(std::size_t r) { return r > 1 ? r - 1 : 1; }
  static double dispersion(const Ocat&) { return 1.0; }
  static double saturated_loglik(const FitContext<Ocat>&, const Ocat&) { return 0.0; }
  static Result<InnerFit> inner_fit(const FitContext<Ocat>& ctx, const Ocat& f,
                                    std::span<const double> rho);
  static Vector shape_gradient(const FitContext<Ocat>& ctx, const InnerFit& fit, const Ocat& f,
                               const PenaltyPieces& pieces);
  static Vector dev_eta3(const FitContext<Ocat>& ctx, const InnerFit& fit, const Ocat& f);
  static constexpr bool kRidgeTerm = true;
  static constexpr ShapeGradient kEvalShapeGradient = ShapeGradient::ScoreDifferences;
  static constexpr ShapeHessian kHessian = ShapeHessian::ImplicitRho;

  static Vector shape_step_caps(const Ocat& base) { return Vector(gap_count(base), 0.5); }
  static constexpr double kOptimisationTol = 1e-8;
  // No scale: the record's scale is 1 and its covariance H⁻¹.
  static double record_scale(const Ocat&) { return 1.0; }
  static double covariance_scale(const Ocat&) { return 1.0; }
  static ShapeStart start(const FitContext<Ocat>& ctx, const Ocat& base, double rank_total);
};

}  // namespace quelt

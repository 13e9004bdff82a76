// The negative binomial family (log link, size θ, variance μ + μ²/θ) in the
// shape-aware score: one shape coordinate t = log θ.
//
// The deviance carries the shape, so φ = 1 and, with prior weights a_i as
// frequency weights in every term,
//   V = ½log|H| + ½(D + Σ_k λ_k q_k) − (Mp/2)·ln 2π − ½log|S_λ|₊ − ls,
//   D = Σ_i a_i d(y_i, μ_i; θ),   ls = Σ_i a_i ls(y_i; θ),
// and H = XᵀWX + S_λ with the observed information of the inner fit,
//   W_i = a_i·μ_iθ(θ + y_i)/(θ + μ_i)²   (family/negbin.hpp),
// positive for every y ≥ 0 and equal to ½∂²D_i/∂η_i², so that H is the
// Hessian of ½D_p in β. The ρ-gradient holds β̂ by the envelope theorem and
// follows W through η: A_i = ∂³D_i/∂η_i³ = 2∂W_i/∂η_i,
//   ∂W_i/∂η_i = a_i·θ(θ + y_i)μ_i(θ − μ_i)/(θ + μ_i)³,
// with the same H (its factor, traces and leverages) as log|H|. Ranks count
// max(r, 1).
//
// The frozen-fit score is V at another θ on a fit made at the first: β and μ
// held, D, H and ls taken at the new θ. Its central differences in log θ give
// the shape derivatives of the profile-shape optimiser without a refit.
//
// Units: counts have none, but far above θ they behave as a Gamma of shape θ
// in the units of the mean count, whose score grows by Σw·ln c with the
// counts: the search's tests are measured from the origin Σw·ln ȳ (ȳ > 1,
// else 0). ρ starts from the balanced start with the Fisher weight
// W̄ = ȳθ₀/(θ₀ + ȳ) at the mean count; log θ lies in [−10, 10] and starts at
// the caller's log θ₀ (clamped there by the optimiser).
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"
#include "score/shape_traits.hpp"

namespace quelt {

// The box of log θ: θ in [e^−10, e^10].
inline constexpr double kNegBinLogThetaLow = -10.0;
inline constexpr double kNegBinLogThetaHigh = 10.0;
// The step of the central differences of the frozen-fit score in log θ.
inline constexpr double kNegBinShapeStep = 1e-3;

template <>
struct ShapeTraits<NegBin> {
  // θ = exp(t₀), with no floor.
  static NegBin decode(const NegBin& base, std::span<const double> tail);
  // max(r, 1).
  static std::size_t rank_count(std::size_t r) { return r > 0 ? r : 1; }
  static double dispersion(const NegBin&) { return 1.0; }
  static double saturated_loglik(const FitContext<NegBin>& ctx, const NegBin& f);
  static Result<InnerFit> inner_fit(const FitContext<NegBin>& ctx, const NegBin& f,
                                    std::span<const double> rho);
  // log|H| at the fit's means and f's θ (negbin_hessian_factor), or from the
  // fit's own factor when that H cannot be factored.
  static double log_det_h(const FitContext<NegBin>& ctx, const InnerFit& fit, const NegBin& f,
                          std::span<const double> rho);
  // A_i = 2·∂W_i/∂η_i at the fit's means.
  static Vector dev_eta3(const FitContext<NegBin>& ctx, const InnerFit& fit, const NegBin& f);
  // ∂V/∂log θ with β and μ held at the fit: the central difference of the
  // frozen-fit score, step kNegBinShapeStep.
  static Vector shape_gradient(const FitContext<NegBin>& ctx, const InnerFit& fit, const NegBin& f,
                               const PenaltyPieces& pieces);
  static constexpr ShapeGradient kEvalShapeGradient = ShapeGradient::Analytic;
  static constexpr ShapeHessian kHessian = ShapeHessian::ImplicitRho;

  static Vector shape_step_caps(const NegBin&) { return {0.5}; }
  static constexpr double kOptimisationTol = 1e-6;
  // The record keeps θ̂ as its scale; the covariance is H⁻¹.
  static double record_scale(const NegBin& f) { return f.theta; }
  static double covariance_scale(const NegBin&) { return 1.0; }
  static ShapeStart start(const FitContext<NegBin>& ctx, const NegBin& base, double rank_total);
};

// The lower Cholesky factor of H = Xᵀdiag(W)X + S_λ, W the observed weights
// at the fit's means and θ (prior weights included). XᵀWX is the fit's own
// when its weights are these. Absent when a weight is not finite, the
// factorization fails, or a diagonal entry of the factor is not finite or
// below 1e-300 in magnitude.
std::optional<Matrix> negbin_hessian_factor(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                            double theta, const Matrix& s_lambda);

// ln|H| from negbin_hessian_factor; absent where it is.
std::optional<double> log_det_hessian_negbin(const FitContext<NegBin>& ctx, const InnerFit& fit,
                                             double theta, std::span<const double> rho);

// V at theta = [ρ, log θ] on `fit` (made at another θ), without refitting:
// laml_score with D recomputed from the fit's means at the new θ. Needs fit.x.
double negbin_score_at_theta(const FitContext<NegBin>& ctx, const InnerFit& fit,
                             std::span<const double> theta);

}  // namespace quelt

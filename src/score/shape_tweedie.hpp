// The Tweedie family (log link, variance φμ^p) in the shape-aware score:
// shape coordinates t = (log φ) with p fixed, or (log φ, p_t) with p
// estimated, φ = e^t₀ and p = 1 + 1/(1 + e^(−p_t)) held to [1.05, 1.95].
//
// φ divides the penalized deviance; ls = Σ_i w_i·ls(y_i) (family/tweedie.hpp,
// prior weights as frequency weights); H = XᵀWX + S_λ with the Fisher
// weights W_i = w_i·μ_i^(2−p). The shape gradient holds the fit's means: the
// analytic gradient of D_p/(2φ) − ls − (Mp/2)·ln φ
// (analytic_shape_score_gradient) plus, for p, the change of ½log|H| with
// the weights, ½tr(H⁻¹Xᵀdiag(∂W/∂p)X), ∂W_i/∂p = −ln μ_i·W_i. (Without that
// term the fitted p moved with the units of y: the term grows with ln μ.)
// The ρ-gradient leaves out the change of the weights with ρ, and the
// Hessian is formed from differences of gradients. Where p sits at or past its bound and the
// gradient points out of the interval, the p entry of the gradient and the p row and column of the
// Hessian are zero, so the search stays at the bound and may converge there.
//
// Units: y → c·y (μ → c·μ) leaves p, moves φ and the optimal λ by c^(2−p)
// and shifts V by Σ_{y_i>0} w_i·ln c. The log φ box is centred on the log
// of the data's Pearson dispersion about the weighted mean ȳ with the
// starting power, Σ_i w_i(y_i − ȳ)²/ȳ^p₀ / Σw; W̄ = ȳ^(2−p₀).
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

// The interval p is held to by the decoding.
inline constexpr double kTweediePowerLow = 1.05;
inline constexpr double kTweediePowerHigh = 1.95;

template <>
struct ShapeTraits<Tweedie> {
  static Tweedie decode(const Tweedie& base, std::span<const double> tail);
  // max(r, 1).
  static std::size_t rank_count(std::size_t r) { return r > 0 ? r : 1; }
  static double dispersion(const Tweedie& f) { return f.phi; }
  static double saturated_loglik(const FitContext<Tweedie>& ctx, const Tweedie& f);
  static Result<InnerFit> inner_fit(const FitContext<Tweedie>& ctx, const Tweedie& f,
                                    std::span<const double> rho);
  static Vector shape_gradient(const FitContext<Tweedie>& ctx, const InnerFit& fit,
                               const Tweedie& f, const PenaltyPieces& pieces);
  static constexpr ShapeGradient kEvalShapeGradient = ShapeGradient::Analytic;
  static constexpr ShapeHessian kHessian = ShapeHessian::DifferencedRho;
  static void pin_shape(const Tweedie& base, std::span<const double> tail, std::size_t m,
                        Vector& grad, Matrix* hessian);

  static Vector shape_step_caps(const Tweedie& base) {
    return base.estimate_p ? Vector{1.0, 2.0} : Vector{1.0};
  }
  static constexpr double kOptimisationTol = 1e-9;
  static double record_scale(const Tweedie& f) { return f.phi; }
  static double covariance_scale(const Tweedie& f) { return f.phi; }
  static ShapeStart start(const FitContext<Tweedie>& ctx, const Tweedie& base, double rank_total);
};

}  // namespace quelt

// The records a REML score over the log smoothing parameters ρ hands to the
// outer loop: the score with its per-penalty pieces at one inner fit, one
// outer evaluation (score, gradient, Hessian), and an inner fit kept for the
// evaluation that may follow it.
#pragma once

#include <optional>
#include <span>

#include "core/matrix.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// The score an evaluation reports where it cannot be formed (the scale
// cannot be estimated there); it comes with a zero gradient, and the outer
// loop never declares convergence at it.
inline constexpr double kInadmissibleScore = 1e12;

// The score and gradient at a converged inner fit, with the per-penalty
// pieces from which the Hessian and the warm-start cache are formed.
struct EnvelopeScore {
  Vector grad;            // m: ∂V/∂ρ
  double score = 0.0;     // V(ρ)
  Vector lambda;          // exp(ρ), one per entry of ρ
  Vector bsb_per_term;    // m: b_j = βᵀS_jβ
  Vector trace_per_term;  // m: t_j = tr(H⁻¹S_j)
  // m: ∂φ/∂ρ_j; zeros for known scale; absent at an inadmissible point.
  std::optional<Vector> dscale_drho;
  Matrix h_inv;             // H⁻¹ from the fit's factor; 0 x 0 when inadmissible
  double scale = 1.0;       // φ
  bool fd_hessian = false;  // the Hessian must come from differences
  // m x m: second derivatives of log|S_λ|₊ over ρ; zero unless several
  // penalties share a coefficient block. 0 x 0 when inadmissible.
  Matrix log_det_s_hessian;
};

// Score, gradient and Hessian at one outer point.
struct OuterEval {
  Vector grad;  // m
  double score = 0.0;
  Matrix hessian;  // m x m, symmetric
};

// An inner fit kept with the point and the start it was made from. An
// evaluation at the same point from the same start (both equal to the bit)
// takes it over instead of fitting again: the fit is a function of the two.
struct PriorFit {
  Vector rho;
  std::optional<Vector> beta0;
  InnerFit fit;
};

// The fit of `prior` when it was made at rho from beta0 (both equal to the
// bit, so −0.0 differs from 0.0 and NaN matches only an identical NaN;
// absent starts match each other), leaving `prior` empty; otherwise nothing,
// and `prior` stays as it is.
std::optional<InnerFit> take_prior_fit(std::optional<PriorFit>& prior, std::span<const double> rho,
                                       const std::optional<Vector>& beta0);

}  // namespace quelt

// The shape-family score at a joint point θ = [ρ, t] chosen by the caller,
// with the additive parts it is made of: one refit, no outer search.
//
// The design is additive over cubic regression splines, term i a spline of
// column i of x with basis size k_per_term[i]; T is its number of penalties
// (one per term) and ρ = θ[0..T). The refit and the score are those of the
// shape-family fits (score/shape_score.hpp) without prior weights, at the
// inner tolerance those fits search with (the ordered-categorical refit at
// that of its final fit, 1e-9), so at the point where a fit of the same design
// ended the score reproduces its reml_value (the ordered-categorical one to
// within its search's inner error):
//
//   V = ½log|H| + D_p/(2φ) − (Mp/2)·ln(2πφ) − ½log|S_λ|₊ − ls,
//   D_p = D + Σ_j λ_j·b_j,   b_j = βᵀS_jβ,   λ_j = exp(ρ_j),
//
// φ the family's dispersion (1 when the scale sits inside the deviance),
// log|S_λ|₊ = Σ_j (ln pdet_j + c_j·ρ_j) with the family's rank counts c_j,
// log|H| the family's (the inner fit's factor unless the family forms its
// own) and ls its saturated log-likelihood. The refit works in the
// eigenbasis of the penalties (inner/coefficient_rotation.hpp), so every
// part is accurate at any ρ up to the bound below: as ρ_j grows, D, D_p and
// log|H| − Σ_j r_j·ρ_j level off (the score with them where c_j = r_j).
//
// Checks, each an InvalidParameter error, in this order: the row counts of
// x and y ("x and y must have the same number of rows; got x.nrows()={},
// y.len()={}"), at least one row ("x has 0 rows; a fit needs at least one
// row of data"), the design build (its own errors), the length of θ (the
// family's message below), every entry of θ finite ("theta must be finite;
// got theta={} at index {}"), every ρ_j at most kMaxLogLambda = 700 ("log
// smoothing parameters must be at most 700; got theta={} at index {}"), every
// decoded shape value a positive finite
// number ("{value} must be a positive finite number; got theta[{i}]={}", e.g.
// "φ = exp(log_φ) must be ..." where exp overflows), then the responses as
// the family's fit checks them (fit/shape_checks.hpp). The refit's error is returned unchanged.
#pragma once

#include <cstddef>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

// The score at one point and its parts.
struct ScoreDiagnostic {
  double score = 0.0;
  Vector beta;  // p: refit coefficients
  Vector eta;   // n: Xβ
  Vector mu;    // n: the means
  double deviance = 0.0;
  double bsb_total = 0.0;  // Σ_j λ_j·b_j
  Vector bsb_per_term;     // b_j, not multiplied by λ_j
  double dp = 0.0;         // D + bsb_total
  double log_det_h = 0.0;
  double log_det_lambda_s = 0.0;  // log|S_λ|₊
  double ls = 0.0;
  // The decoded shape values: Tweedie (φ, p), scaled t (ν, σ²), negative
  // binomial (θ); none for the ordered-categorical family.
  Vector shape;
  std::size_t null_space_dim = 0;  // Mp
  std::size_t iterations = 0;      // of the refit
  bool converged = false;          // of the refit
  // Ordered-categorical only: ∂V/∂ρ at the refit (score/shape_score.hpp).
  Vector grad_rho;
};

// Tweedie with log link; θ = [ρ_1..ρ_T, log φ, p_t] with φ = exp(log φ) held
// at or above 1e-6 and p = 1 + 1/(1 + exp(−p_t)) held to [1.05, 1.95]. Length message:
// "evaluate_reml_at_tweedie expects theta=[ρ_1..ρ_T, log_φ, p_transform]
// (length {T + 2}); got {len}".
Result<ScoreDiagnostic> tweedie_score_diagnostic(MatrixView x, Vector y,
                                                 std::span<const double> theta,
                                                 std::span<const std::size_t> k_per_term);

// Scaled t with identity link; θ = [ρ_1..ρ_T, log σ², log(ν − 2)]. Length
// message: "evaluate_reml_at_scat expects theta=[ρ_1..ρ_T, log_σ², log(ν-2)]
// (length {T + 2}); got {len}".
Result<ScoreDiagnostic> scat_score_diagnostic(MatrixView x, Vector y, std::span<const double> theta,
                                              std::span<const std::size_t> k_per_term);

// Negative binomial with log link; θ = [ρ_1..ρ_T, log θ], θ = exp(log θ).
// log|H| from the observed information at the refit's means, or from the
// refit's own factor when that H cannot be factored. Length message:
// "evaluate_reml_at_negbin expects theta=[ρ_1..ρ_T, log_θ] (length {T + 1});
// got {len}".
Result<ScoreDiagnostic> negbin_score_diagnostic(MatrixView x, Vector y,
                                                std::span<const double> theta,
                                                std::span<const std::size_t> k_per_term);

// Ordered categories 1..R (R = n_cats) with identity link; θ = [ρ_1..ρ_T]
// (zero log gaps: cut points −1, 0, 1, …) or [ρ_1..ρ_T, log gaps θ_1..θ_{R−2}].
// φ = 1 and ls = 0. After the design: R < 3 is "Ocat requires R ≥ 3, got {R}",
// another length of θ "evaluate_reml_at_ocat expects theta of length {T} or
// {T + R − 2}; got {len}"; then the checks above from the finiteness of θ on.
// R − 2 zero log gaps beyond memory throw OutOfMemory saying so.
Result<ScoreDiagnostic> ocat_score_diagnostic(MatrixView x, Vector y, std::span<const double> theta,
                                              std::size_t n_cats,
                                              std::span<const std::size_t> k_per_term);

}  // namespace quelt

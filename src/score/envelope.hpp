// The REML score over the log smoothing parameters rho for the families
// without shape parameters, its gradient and its Hessian.
//
// At a converged inner fit (beta, H = X^T W X + S_lambda, deviance D) the
// score is the Laplace-approximate restricted likelihood criterion
//
//   V(rho) = 1/2 log|H| + D_p/(2 phi) - 1/2 log|S_lambda|_+ - (Mp/2) ln(2 pi phi) - ls(phi)
//
// with D_p = D + sum_j lambda_j beta^T S_j beta, Mp the null-space dimension
// of the penalties and ls the family's saturated log-likelihood at scale phi.
// Smaller is better. The gradient treats beta by the envelope theorem:
//
//   dV/drho_j = lambda_j b_j/(2 phi) + 1/2 lambda_j tr(H^{-1} S_j) - 1/2 d log|S_lambda|_+/drho_j
//
// (b_j = beta^T S_j beta); the last term is r_j for a penalty that has its
// coefficient block to itself (see design/penalty_groups.hpp).
//
// Instances by family:
//   Gaussian, QuasiPoisson, QuasiBinomial: phi = D_p/(n - Mp) (estimated);
//     ls = -n/2 ln(2 pi phi).
//   InverseGaussian: as Gaussian with ls = sum_i -1/2 ln(2 pi phi y_i^3); its
//     log|H| is that of the full-Newton Hessian and its gradient takes the
//     traces and the weight-derivative terms of that Hessian
//     (score/newton_terms.hpp), in which case the Hessian over rho is taken
//     by differences.
//   GammaLog, GammaInverse: phi solves the score's stationarity in phi for
//     the Gamma saturated likelihood (gamma_profile_scale).
//   Poisson, Bernoulli: phi = 1.
// n counts the rows of positive prior weight (a row of zero weight is not
// data); the y terms of ls are weighted by the prior weights, as the
// deviance is, and its ln phi terms count the n rows. The estimated scale is
// floored at 1e-8 times the data's own dispersion (inner/weighted_moments.hpp,
// score/data_units.hpp), so that the result does not depend on the units of
// y or of the weights; Gamma's dimensionless scale is floored at 1e-8.
//
// Estimated-scale instances return a fixed record at an inadmissible point
// (D <= 0, D_p <= 0, p - sum_j lambda_j tr(H^{-1} S_j) >= n, or n <= Mp):
// score 1e12, zero gradient, no dscale_drho, 0 x 0 h_inv, scale 1. A
// constant response is the exception to the first two: it is fitted exactly
// at every rho, its zero deviance is the data's, and its scale sits at the
// floor.
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

namespace quelt {

// The score and gradient at a converged inner fit, with the per-penalty
// pieces from which the Hessian and the warm-start cache are formed.
struct EnvelopeScore {
  Vector grad;            // m: dV/drho
  double score = 0.0;     // V(rho)
  Vector lambda;          // exp(rho), one per entry of rho
  Vector bsb_per_term;    // m: b_j = beta^T S_j beta
  Vector trace_per_term;  // m: t_j = tr(H^{-1} S_j)
  // m: dphi/drho_j; zeros for known scale; absent at an inadmissible point.
  std::optional<Vector> dscale_drho;
  Matrix h_inv;             // H^{-1} from the fit's factor; 0 x 0 when inadmissible
  double scale = 1.0;       // phi
  bool fd_hessian = false;  // the Hessian must come from differences
  // m x m: second derivatives of log|S_lambda|_+ over rho; zero unless
  // several penalties share a coefficient block. 0 x 0 when inadmissible.
  Matrix log_det_s_hessian;
};

// Score, gradient and Hessian at one outer point.
struct OuterEval {
  Vector grad;  // m
  double score = 0.0;
  Matrix hessian;  // m x m, symmetric
};

// The inner fit at rho: the closed-form solve for Gaussian, otherwise PIRLS
// at S_lambda = sum_j exp(rho_j) S_j started from beta0 when given (cold
// otherwise). Errors of the fit are returned unchanged; nothing is counted.
template <class Family>
Result<InnerFit> fit_at_rho(const FitContext<Family>& ctx, std::span<const double> rho,
                            const std::optional<Vector>& beta0 = std::nullopt);

// The score record of `fit`, the inner fit made at rho (at least m entries;
// further entries only lengthen `lambda`). Reads the context, changes
// nothing. Never fails in practice; a degenerate point gives the
// inadmissible record.
template <class Family>
Result<EnvelopeScore> envelope_score(const FitContext<Family>& ctx, std::span<const double> rho,
                                     const InnerFit& fit);

// One outer evaluation at rho (m entries): warm start (families with
// Family::uses_warm_start), inner fit, counters (inner_pirls_calls + 1,
// inner_pirls_iterations_total + fit.iterations, after a successful fit),
// score, Hessian, and (warm-start families, admissible point) the rewrite of
// the context's warm-start cache.
//
// The Hessian is analytic, H_jk = 1/2 dP_jk + E_jk + Q_jk/(2 phi) - R_jk -
// 1/2 d^2 log|S_lambda|_+/drho_j drho_k, with
//   P_jk = delta_jk lambda_j t_j - lambda_j lambda_k tr(H^{-1}S_j H^{-1}S_k),
//   E_jk the change of 1/2 lambda tr(H^{-1} S) through the working weights
//        (families with Family::has_weight_derivative_terms),
//   Q_jk = delta_jk lambda_j b_j - 2 lambda_j lambda_k (S_j beta)^T H^{-1} S_k beta,
//   R_jk = dphi/drho_j * lambda_k b_k/(2 phi^2),
// computed on the upper triangle and mirrored. At an inadmissible point, or
// when the score asks for it, the Hessian is the symmetrised central
// difference (step 1e-5) of cold-start gradients instead.
//
// Errors of the inner fit or of the score are returned unchanged; the
// counters move only after a successful fit, and the cache only after a
// successful evaluation at an admissible point. A failed warm-started fit is
// not retried cold.
template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho);

// An inner fit kept with the point and the start it was made from. An
// evaluation at the same point from the same start (both equal to the bit)
// takes it over instead of fitting again: the fit is a function of the two.
struct PriorFit {
  Vector rho;
  std::optional<Vector> beta0;
  InnerFit fit;
};

// envelope_eval that takes over `prior` (leaving it empty) when it matches
// this evaluation's rho and warm start; otherwise fits as above and leaves
// `prior` alone. Counters and cache move exactly as for a fresh fit.
template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior);

// (score, gradient) at rho from a cold inner fit; touches neither counters
// nor cache. Used by the difference Hessian.
template <class Family>
Result<std::pair<double, Vector>> envelope_score_at_rho(const FitContext<Family>& ctx,
                                                        std::span<const double> rho);

// a_i b_i / (n - Mp) over the first min(len a, len b) entries; absent when
// n - Mp <= 0.
std::optional<Vector> scaled_terms_over_resid_df(std::size_t n, std::span<const double> a,
                                                 std::span<const double> b, std::size_t mp);

// The Gamma scale: the root of G(phi) = D_p + 2n (ln phi + digamma(1/phi)) +
// Mp phi by at most 30 damped Newton updates from max(D_p/(n - Mp), 1e-8),
// each step kept within [0.1 phi, 10 phi] and above 1e-8.
double gamma_profile_scale(double dp, std::size_t n, std::size_t mp);

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

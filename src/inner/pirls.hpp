// Penalized iteratively re-weighted least squares with step halving.
//
// For fixed smoothing parameters, pirls finds beta minimising the penalized
// deviance D(beta) + beta^T S_lambda beta of a GLM with model matrix X:
// each iteration solves (X^T W X + S_lambda) beta = X^T W z with the working
// weights W and responses z at the current mean, then halves the step back
// towards the last accepted beta (at most 100 times) while the trial is
// non-finite or, after the first iteration, raises the penalized deviance by
// more than 10 * 2^-26 * (|P_old| + 0.1). The loop ends converged when the
// relative change of the deviance between two accepted iterates is below
// InnerOptions::tol (never in the first iteration); it ends unconverged at
// the iteration limit or when halving fails, and returns the last accepted
// iterate.
//
// Instantiated for the parameterless iterative families: Bernoulli,
// QuasiBinomial, Poisson, QuasiPoisson, GammaLog, GammaInverse and
// InverseGaussian. The loop itself (inner/pirls_loop.hpp) is generic over
// the family's working pieces (Working<Family>, inner/working.hpp).
#pragma once

#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// Fit at the total penalty s_lambda (p x p, formed by the caller with
// s_lambda(penalties, rho)). A warm start beta0 (p entries) only sets the
// starting linear predictor X beta0; without one the start is
// g(initial_mu(y)); the context's eta_start replaces either. beta itself
// always starts at zero.
//
// Returned record: beta, eta, mu of the last accepted iterate; w, z and
// weighted_rss evaluated afresh there; chol the factor of the accepted
// iteration's X^T W X + S_lambda (or, when no iteration was accepted, of
// X^T diag(w_prior) X + S_lambda with a 1e-12 * max(1, max|H_ii|) ridge);
// dw_deta the analytic derivative of the Fisher weight; x a view of the
// context's model matrix; iterations and converged as the loop ended.
//
// Errors: a failed factorization of the iteration's system is
// SingularSystem "PIRLS factor: {}" wrapping "Cholesky failed: {}"; a failed
// factorization of the fallback matrix is SingularSystem "Cholesky failed:
// {}". Non-finite values, the iteration limit and failed halving are not
// errors. The context is only read; the caller counts the fit in FitStats.
template <class Family>
Result<InnerFit> pirls(const FitContext<Family>& ctx, Matrix s_lambda,
                       const std::optional<Vector>& beta0 = std::nullopt);

// The step test: true rejects the trial (halve again). Rejects a non-finite
// penalized deviance p_new, then (observation by observation) a non-finite
// eta, mu or unit deviance d(y_i, mu_i); in the first iteration accepts
// everything else, later rejects exactly when p_new - p_old > theta. A null
// mu_new is an internal invariant failure.
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

// Damped Newton over the log smoothing parameters ρ on a family's REML
// score: the loop of outer/newton.hpp with the evaluations every driver
// needs.
//
// newton_over_rho(ctx, frame) starts at frame.start, searches the box
// frame.bounds and measures its convergence tests from frame.score_origin
// (outer/outer_frame.hpp: all three follow the units of the data), with
// driver_outer_options(Family::outer_tolerances) (outer/newton.hpp).
//
//   evaluation at x  envelope_eval: inner fit, score, gradient, Hessian;
//   trial at u       one inner fit (from the warm start extrapolated from
//                    the last evaluated point, for the families with
//                    Family::uses_warm_start; counted in no_refresh_attempts,
//                    and in no_refresh_hits when the fit succeeds) and its
//                    score alone, counted in inner_pirls_calls and
//                    inner_pirls_iterations_total.
// The fit of the last scored trial is kept: the loop evaluates the point it
// accepts next, from the same warm start, and takes that fit over instead of
// fitting again. A trial whose fit fails only rejects the trial; a failed
// warm-started fit is not retried cold.
//
// Errors: the first evaluation's error; NotConverged when the loop uses up
// its iterations.
#pragma once

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "outer/newton.hpp"
#include "outer/outer_frame.hpp"

namespace quelt {

template <class Family>
Result<OuterResult> newton_over_rho(FitContext<Family>& ctx, const OuterFrame& frame);

#define QUELT_RHO_NEWTON_EXTERN(F) \
  extern template Result<OuterResult> newton_over_rho<F>(FitContext<F>&, const OuterFrame&);
QUELT_RHO_NEWTON_EXTERN(Gaussian)
QUELT_RHO_NEWTON_EXTERN(Bernoulli)
QUELT_RHO_NEWTON_EXTERN(QuasiBinomial)
QUELT_RHO_NEWTON_EXTERN(Poisson)
QUELT_RHO_NEWTON_EXTERN(QuasiPoisson)
QUELT_RHO_NEWTON_EXTERN(GammaLog)
QUELT_RHO_NEWTON_EXTERN(GammaInverse)
QUELT_RHO_NEWTON_EXTERN(InverseGaussian)
QUELT_RHO_NEWTON_EXTERN(Elf)
#undef QUELT_RHO_NEWTON_EXTERN

}  // namespace quelt

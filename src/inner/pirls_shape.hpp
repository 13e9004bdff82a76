// PIRLS for the families with shape parameters, at given log smoothing
// parameters ρ and given shape values, from a cold start.
//
// The shape values come as a family value of their own, not from the
// context: the shape-aware score refits at many shape values on one
// context, whose data are read and never copied. S_λ = Σ_j exp(ρ_j)·S_j is
// formed here; the start is g(initial_mu(y)) of the family (the context's
// eta_start replaces it); everything else is the loop of inner/pirls.hpp
// with the working quantities of inner/working_shape.hpp.
//
// Scaled t: Fisher scoring with the expected information, for at most
// fifteen iterations. When it has not converged by then (σ² far from the scale of
// the residuals, where it stalls), the majorizing iteration continues from
// its coefficients with the context's iteration limit; its result is
// returned with the expected-information w, z, XᵀWX and factor of
// H = XᵀWX + S_λ at its μ, which are the weights of the score. `iterations`
// counts both runs.
#pragma once

#include <span>

#include "core/error.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "inner/inner_fit.hpp"

namespace quelt {

// The record and errors of pirls (inner/pirls.hpp). ρ has at least as many
// entries as the context has penalties.
template <class Family>
Result<InnerFit> pirls_shape(const FitContext<Family>& ctx, const Family& family,
                             std::span<const double> rho);

#define QUELT_PIRLS_SHAPE_EXTERN(F)                                               \
  extern template Result<InnerFit> pirls_shape<F>(const FitContext<F>&, const F&, \
                                                  std::span<const double>);
QUELT_PIRLS_SHAPE_EXTERN(TDist)
QUELT_PIRLS_SHAPE_EXTERN(Tweedie)
QUELT_PIRLS_SHAPE_EXTERN(NegBin)
#undef QUELT_PIRLS_SHAPE_EXTERN

}  // namespace quelt

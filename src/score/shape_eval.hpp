// The outer evaluation of the shape-family driver at one joint point θ =
// [ρ, t]: refit, score, gradient over all of θ and Hessian over all of θ.
//
// Gradient: the ρ part analytic (score/shape_score.hpp); the shape part as
// ShapeTraits<F>::kEvalShapeGradient says, analytic or by central
// differences of the refitted score with step 1e-5.
// Hessian, as ShapeTraits<F>::kHessian says:
//   ImplicitRho: the ρ–ρ block from hess_ift at the fit's working weights
//     (minus ½∂²log|S_λ|₊ where penalties share a block); each shape column
//     the central difference (step 1e-4) of refitted gradients; the ρ rows
//     of a shape column copied into the shape row, the shape block's pairs
//     averaged.
//   DifferencedRho: each ρ column the central difference (step 1e-4) of
//     refitted gradients, each shape column the central difference (step
//     1e-5) of the gradient with the coefficients held at the point's fit;
//     every pair averaged.
// Families with bounds inside their decoding then zero the entries of
// coordinates held there (ShapeTraits<F>::pin_shape).
//
// Every refit is counted in the context's FitStats. The first failing refit
// ends the evaluation with its error.
#pragma once

#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

// Score, gradient and Hessian at one outer point of a shape family.
struct ShapeEval {
  Vector grad;  // m + s, ρ first
  double score = 0.0;
  Matrix hessian;  // (m + s) x (m + s), symmetric
};

template <class F>
Result<ShapeEval> shape_aware_eval(FitContext<F>& ctx, std::span<const double> theta);

}  // namespace quelt

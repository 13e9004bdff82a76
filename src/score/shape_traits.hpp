// What the shape-aware score and the shape-family driver ask of a family
// whose outer point carries shape coordinates: one specialisation
// ShapeTraits<F> per family (score/shape_tdist.hpp, score/shape_tweedie.hpp,
// ...), read by generic code through `ShapeTraits<F>::member`, never by
// comparing family types.
//
// The outer point is θ = [ρ_1 … ρ_m, t_1 … t_s]: m log smoothing parameters
// in penalty order, then the family's s shape coordinates (the "tail").
//
// Required members of ShapeTraits<F>:
//   static F decode(const F& base, std::span<const double> tail)
//       the family value at the shape coordinates `tail` (s entries); base
//       supplies what the tail does not hold (a fixed Tweedie power).
//   static std::size_t rank_count(std::size_t rank)
//       the count a penalty of this rank contributes to log|S_λ|₊ when it
//       acts on its coefficients alone (a penalty sharing its block with
//       others enters through the group's own log-determinant).
//   static double dispersion(const F& f)
//       φ dividing the penalized deviance in the score (1 when the scale is
//       inside the deviance).
//   static double saturated_loglik(const FitContext<F>&, const F& f)
//       ls, the log-likelihood at the saturated means, prior weights as
//       frequency weights.
//   static Result<InnerFit> inner_fit(const FitContext<F>&, const F& f,
//                                     std::span<const double> rho)
//       the family's inner fit at ρ with the shape values of f.
//   static Vector shape_gradient(const FitContext<F>&, const InnerFit&,
//                                const F& f, const PenaltyPieces&)
//       ∂V/∂t at the fit (s entries): the coefficients by the envelope
//       theorem, H as the family's score treats it.
//   static constexpr ShapeGradient kEvalShapeGradient
//       how the outer evaluation forms the shape part of its gradient.
//   static constexpr ShapeHessian kHessian
//       how the outer evaluation forms its Hessian.
//   Driver facts (the data checks live with the driver, fit/shape_checks.hpp):
//     static Vector shape_step_caps(const F& base)      largest step per
//                                                        shape coordinate
//     static constexpr double kOptimisationTol          inner tolerance
//                                                        during the search
//     static double record_scale(const F& f)            the record's scale
//     static double covariance_scale(const F& f)        vcov = this·H⁻¹
//     static ShapeStart start(const FitContext<F>&, const F& base,
//                             double rank_total)         below; rank_total
//       is Σ_k ∂log|S_λ|₊/∂ρ_k, the total rank count of the penalties.
//
// Optional members (detected with `requires`):
//   static double log_det_h(const FitContext<F>&, const InnerFit&, const F&,
//                           std::span<const double> rho)
//       log|H| when the family's H is not the fit's factor.
//   static Vector dev_eta3(const FitContext<F>&, const InnerFit&, const F&)
//       A_i = ∂³D_i/∂η_i³, for families whose H changes with η through the
//       weights; the ρ-gradient then adds ½·u_k, u_k = Σ_i ½A_i·(dη_i/dρ_k)·h_i.
//   static constexpr bool kRidgeTerm = true
//       the inner fit's factor carries the iteration ridge ε·S_k[j*, j*]
//       (ε = (√m + 1)·1e-5) whose derivative the ρ-gradient includes, and
//       its β solves ½∇D_p + ε·s·β = 0 (s = max(1, max_j (XᵀWX)_jj)), so
//       the ρ-gradient adds the change of ½D_p through β as well.
//   static void pin_shape(const F& base, std::span<const double> tail,
//                         std::size_t m, Vector& grad, Matrix* hessian)
//       zeroes the gradient entries (and the Hessian rows and columns) of
//       shape coordinates held at a bound of their decoding.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/matrix.hpp"
#include "score/penalty_pieces.hpp"

namespace quelt {

template <class F>
struct ShapeTraits;

// The shape part of the gradient in the outer evaluation.
enum class ShapeGradient {
  Analytic,          // ShapeTraits<F>::shape_gradient at the refit
  ScoreDifferences,  // central differences of the refitted score, step 1e-5
};

// The Hessian of the outer evaluation.
enum class ShapeHessian {
  // ρ–ρ block by the implicit function theorem (score/ift_hessian.hpp),
  // shape columns by central differences of the refitted gradient.
  ImplicitRho,
  // ρ columns by central differences of the refitted gradient, shape
  // columns by central differences of the gradient with the coefficients
  // held at the point's fit; the whole matrix symmetrised.
  DifferencedRho,
};

// Half-width of the box of each shape coordinate around its centre.
inline constexpr double kShapeHalfWidth = 10.0;

// Where the outer search starts in the shape coordinates and how the rest of
// the start follows the units of the data.
struct ShapeStart {
  Vector tail;  // starting shape coordinates, inside their box
  std::vector<std::pair<double, double>> tail_bounds;  // (lo, hi) per shape coordinate
  // W̄: the working weight per unit prior weight at the data's own units,
  // from which the starting ρ balances XᵀWX against each penalty.
  double weight_level = 1.0;
  // When not empty, ρ⁰ itself (one per penalty), which replaces the balanced
  // start and centres the ρ box.
  Vector rho;
  // The part of the score that only measures the units of the data: the
  // score changes by a constant under y → c·y, and this is that constant at
  // the data's own units; the convergence tests measure |V − origin|.
  double score_origin = 0.0;
};

}  // namespace quelt

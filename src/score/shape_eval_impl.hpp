// Definition of shape_aware_eval (score/shape_eval.hpp). A family's trait
// file includes this after its ShapeTraits specialisation and instantiates
// with QUELT_SHAPE_EVAL_INSTANTIATE(F).
#pragma once

#include <utility>

#include "core/linalg.hpp"
#include "score/ift_hessian.hpp"
#include "score/shape_eval.hpp"
#include "score/shape_score_impl.hpp"

namespace quelt {

namespace shape_detail {

// Steps of the differences: the score in the shape coordinates, the
// refitted gradient in any coordinate, the held-coefficient gradient in the
// shape coordinates.
inline constexpr double kScoreStep = 1e-5;
inline constexpr double kGradientStep = 1e-4;
inline constexpr double kFrozenStep = 1e-5;

// θ with h added to entry i.
inline Vector shifted(std::span<const double> theta, std::size_t i, double h) {
  Vector t(theta.begin(), theta.end());
  t[i] += h;
  return t;
}

}  // namespace shape_detail

template <class F>
Result<ShapeEval> shape_aware_eval(FitContext<F>& ctx, std::span<const double> theta) {
  using Traits = ShapeTraits<F>;
  using namespace shape_detail;
  const std::size_t m = ctx.m(), nt = theta.size();
  QUELT_TRY(ThetaRefit<F> r, refit_at_theta(ctx, theta));
  const std::span<const double> rho = theta.first(m);
  const PenaltyPieces pc = shape_penalty_pieces(ctx, r.fit, rho, true);

  ShapeEval out;
  out.score = laml_score(ctx, r.fit, r.family, rho, pc);
  out.grad = rho_gradient_core(ctx, r.fit, r.family, rho, pc);
  if constexpr (Traits::kEvalShapeGradient == ShapeGradient::Analytic) {
    const Vector gs = Traits::shape_gradient(ctx, r.fit, r.family, pc);
    out.grad.insert(out.grad.end(), gs.begin(), gs.end());
  } else {
    for (std::size_t i = m; i < nt; ++i) {
      QUELT_TRY(double up, score_at(ctx, shifted(theta, i, kScoreStep)));
      QUELT_TRY(double down, score_at(ctx, shifted(theta, i, -kScoreStep)));
      out.grad.push_back((up - down) / (2.0 * kScoreStep));
    }
  }

  Matrix h(nt, nt);
  // Column i of h from gradients at θ ± step·e_i.
  auto difference_column = [&](std::size_t i, const Vector& up, const Vector& down, double step) {
    check_invariant(up.size() == nt && down.size() == nt, "shape_aware_eval: gradient length");
    for (std::size_t a = 0; a < nt; ++a) h(a, i) = (up[a] - down[a]) / (2.0 * step);
  };
  auto refitted_column = [&](std::size_t i) -> Status {
    QUELT_TRY(auto up, laml_gradient(ctx, shifted(theta, i, kGradientStep)));
    QUELT_TRY(auto down, laml_gradient(ctx, shifted(theta, i, -kGradientStep)));
    difference_column(i, up.second, down.second, kGradientStep);
    return ok_status();
  };

  if constexpr (Traits::kHessian == ShapeHessian::ImplicitRho) {
    check_invariant(r.fit.x.has_value(), "shape_aware_eval: inner fit without its model matrix");
    const Matrix a = r.fit.xtwx ? *r.fit.xtwx : row_scaled_product(*r.fit.x, r.fit.w);
    const Vector dev_grad = neg2_weighted_residual(*r.fit.x, r.fit.w, r.fit.z, r.fit.beta);
    const Matrix block =
        hess_ift({ctx.penalties, pc.lambda, r.fit.beta, pc.h_inv, a, dev_grad, 1.0});
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t k = 0; k < m; ++k) h(j, k) = block(j, k) - 0.5 * pc.log_det_s.hessian(j, k);
    for (std::size_t i = m; i < nt; ++i) QUELT_CHECK_OK(refitted_column(i));
    for (std::size_t i = m; i < nt; ++i)
      for (std::size_t j = 0; j < m; ++j) h(i, j) = h(j, i);
    for (std::size_t i = m; i < nt; ++i)
      for (std::size_t k = i + 1; k < nt; ++k) {
        const double v = 0.5 * (h(i, k) + h(k, i));
        h(i, k) = v;
        h(k, i) = v;
      }
  } else {
    for (std::size_t j = 0; j < m; ++j) QUELT_CHECK_OK(refitted_column(j));
    for (std::size_t i = m; i < nt; ++i)
      difference_column(i, eval_grad_frozen_beta(ctx, shifted(theta, i, kFrozenStep), r, pc),
                        eval_grad_frozen_beta(ctx, shifted(theta, i, -kFrozenStep), r, pc),
                        kFrozenStep);
    symmetrize_average(h);
  }
  if constexpr (requires { Traits::pin_shape(ctx.family, theta.subspan(m), m, out.grad, &h); })
    Traits::pin_shape(ctx.family, theta.subspan(m), m, out.grad, &h);
  out.hessian = std::move(h);
  ctx.scratch.give_fit(r.fit);
  return out;
}

#define QUELT_SHAPE_EVAL_INSTANTIATE(F) \
  template Result<ShapeEval> shape_aware_eval<F>(FitContext<F>&, std::span<const double>);

}  // namespace quelt

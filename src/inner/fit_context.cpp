#include "inner/fit_context.hpp"

#include "core/blas.hpp"
#include "core/linalg.hpp"

namespace quelt {

Matrix total_penalty(const std::vector<Matrix>& penalties, std::span<const double> rho,
                     std::size_t p) {
  if (penalties.empty()) return Matrix(p, p);
  return s_lambda(penalties, rho);
}

void gaussian_cross_products(FitContext<Gaussian>& ctx) {
  const double* w = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  ctx.xtwx = xtwx(ctx.x.view(), w);
  ctx.xtwy = xtwz(ctx.x.view(), w, ctx.y);
}

}  // namespace quelt

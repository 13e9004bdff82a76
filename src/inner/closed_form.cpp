#include "inner/closed_form.hpp"

#include <algorithm>

#include "core/blas.hpp"
#include "core/linalg.hpp"

namespace quelt {

Result<InnerFit> solve_closed_form_gaussian(const FitContext<Gaussian>& ctx,
                                            std::span<const double> rho) {
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols();
  check_invariant(ctx.y.size() == n, "solve_closed_form_gaussian: y and x differ in rows");
  check_invariant(ctx.xtwx.rows() == p && ctx.xtwx.cols() == p && ctx.xtwy.size() == p,
                  "solve_closed_form_gaussian: cross products do not match the model matrix");
  check_invariant(!ctx.prior_weights || ctx.prior_weights->size() == n,
                  "solve_closed_form_gaussian: prior weights differ in length from y");
  const Matrix s = total_penalty(ctx.penalties, rho, p);
  Matrix h = ctx.xtwx;
  for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += s.data()[i];
  QUELT_TRY(auto solved, chol_solve_penalized(h, ctx.xtwy));
  auto& [l, beta] = solved;
  // Row-length arrays come from the context's pool of work buffers.
  Vector f = ctx.scratch.take(n);
  // x is in the design's basis (FitContext<Gaussian>), β in that of the
  // penalties.
  if (p > 0)
    matvec_into(ctx.x.view(), coefficients_to_design(ctx.rotation, beta).data(), f.data());
  else
    std::fill(f.begin(), f.end(), 0.0);
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double r = ctx.y[i] - f[i];
    rss += ctx.prior_weights ? r * ((*ctx.prior_weights)[i] * r) : r * r;
  }
  InnerFit fit;
  fit.beta = std::move(beta);
  fit.eta = ctx.scratch.take(n);
  std::copy(f.begin(), f.end(), fit.eta.begin());
  fit.mu = std::move(f);
  fit.w = ctx.scratch.take(n);
  if (ctx.prior_weights)
    std::copy(ctx.prior_weights->begin(), ctx.prior_weights->end(), fit.w.begin());
  else
    std::fill(fit.w.begin(), fit.w.end(), 1.0);
  fit.z = ctx.scratch.take(n);
  std::copy(ctx.y.begin(), ctx.y.end(), fit.z.begin());
  fit.chol = std::move(l);
  fit.deviance = rss;
  fit.weighted_rss = rss;
  fit.n = n;
  fit.p = p;
  fit.iterations = 1;
  fit.converged = true;
  return fit;
}

}  // namespace quelt

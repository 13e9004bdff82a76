#include "inner/pirls_shape.hpp"

#include <cmath>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "inner/pirls.hpp"
#include "inner/pirls_loop.hpp"
#include "inner/working_shape.hpp"

namespace quelt {

namespace {

// Fisher scoring of the scaled t converges in a few iterations while σ² is
// near the scale of the residuals, in up to about fifteen at a σ² some ten
// times the noise (the caller's start σ² = 1 on data of unit spread); it
// stalls (steps that overshoot, or crawl) when σ² is further from it, where
// the majorizing iteration takes a handful. After this many Fisher iterations
// the majorizing one takes over. A Fisher pass reuses one XᵀWX and a
// majorizing pass forms its own, so a few more Fisher passes cost less than
// an early switch.
constexpr std::size_t kTDistFisherIterations = 15;

// The fit of the majorizing iteration made into the record of the scaled t's
// expected information: w, z, Σ w(z − η)², XᵀWX and the factor of
// XᵀWX + S_λ at the returned μ.
Status restate_expected(const FitContext<TDist>& ctx, const TDist& family, const Matrix& s_lambda,
                        InnerFit& fit) {
  const Working<TDist> work{family};
  const std::size_t n = fit.n;
  const double* wp = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const WorkingPair pr = work.pair(ctx.y[i], fit.mu[i], fit.eta[i], wp ? wp[i] : 1.0);
    fit.w[i] = pr.w;
    fit.z[i] = pr.z;
    const double e = pr.z - fit.eta[i];
    rss += pr.w * (e * e);
  }
  fit.weighted_rss = rss;
  Matrix g = xtwx(ctx.x.view(), fit.w.data());
  Matrix h = g;
  const double* sd = s_lambda.data();
  for (std::size_t i = 0; i < h.size(); ++i) h.data()[i] += sd[i];
  QUELT_TRY(Matrix l, cholesky(std::move(h)));
  fit.chol = std::move(l);
  fit.xtwx = std::move(g);
  return ok_status();
}

}  // namespace

template <class Family>
Result<InnerFit> pirls_shape(const FitContext<Family>& ctx, const Family& family,
                             std::span<const double> rho) {
  Matrix s = total_penalty(ctx.penalties, rho, ctx.x.cols());
  if constexpr (std::is_same_v<Family, TDist>) {
    const std::size_t max_iter = ctx.inner_options.max_iter;
    QUELT_TRY(InnerFit fisher,
              pirls_run(ctx, family, Working<TDist>{family}, s, std::nullopt,
                        max_iter < kTDistFisherIterations ? max_iter : kTDistFisherIterations));
    if (fisher.converged || max_iter == 0) return fisher;
    const std::size_t first = fisher.iterations;
    std::optional<Vector> beta0 = std::move(fisher.beta);
    ctx.scratch.give_fit(fisher);
    QUELT_TRY(InnerFit fit,
              pirls_run(ctx, family, TDistObservedWorking{family}, s, beta0, max_iter));
    fit.iterations += first;
    QUELT_CHECK_OK(restate_expected(ctx, family, s, fit));
    return fit;
  } else {
    return pirls_run(ctx, family, Working<Family>{family}, std::move(s), std::nullopt,
                     ctx.inner_options.max_iter);
  }
}

#define QUELT_PIRLS_SHAPE_INSTANCE(F) \
  template Result<InnerFit> pirls_shape<F>(const FitContext<F>&, const F&, std::span<const double>);
QUELT_PIRLS_SHAPE_INSTANCE(TDist)
QUELT_PIRLS_SHAPE_INSTANCE(Tweedie)
QUELT_PIRLS_SHAPE_INSTANCE(NegBin)
#undef QUELT_PIRLS_SHAPE_INSTANCE

}  // namespace quelt

#include "outer/rho_newton.hpp"

#include <optional>
#include <utility>

#include "score/elf_score.hpp"
#include "score/envelope.hpp"
#include "score/warm_start.hpp"

namespace quelt {

template <class Family>
Result<OuterResult> newton_over_rho(FitContext<Family>& ctx, const OuterFrame& frame) {
  const OuterOptions options = driver_outer_options(Family::outer_tolerances);
  // The inner fit of the last scored trial.
  std::optional<PriorFit> last;
  auto drop_last = [&ctx, &last] {
    if (last) ctx.scratch.give_fit(last->fit);
    last.reset();
  };
  auto evaluate = [&ctx, &last, &drop_last](const Vector& rho) {
    auto r = envelope_eval(ctx, rho, last);
    drop_last();
    return r;
  };
  auto trial = [&ctx, &last, &drop_last](const Vector& u) -> Result<double> {
    drop_last();
    std::optional<Vector> b0;
    if constexpr (Family::uses_warm_start) {
      b0 = envelope_warm_start_beta(ctx, u);
      if (b0) ctx.fit_stats.no_refresh_attempts += 1;
    }
    QUELT_TRY(InnerFit fit, fit_at_rho(ctx, u, b0));
    if (b0) ctx.fit_stats.no_refresh_hits += 1;
    ctx.fit_stats.inner_pirls_calls += 1;
    ctx.fit_stats.inner_pirls_iterations_total += fit.iterations;
    auto es = envelope_score(ctx, u, fit);
    if (!es.ok()) {
      ctx.scratch.give_fit(fit);
      return std::move(es).take_error();
    }
    last = PriorFit{u, std::move(b0), std::move(fit)};
    return es.value().score;
  };
  auto r = outer_newton(frame.start, frame.bounds, std::nullopt, options, evaluate, trial,
                        ctx.fit_stats, frame.score_origin);
  drop_last();
  return r;
}

#define QUELT_RHO_NEWTON_INSTANCE(F) \
  template Result<OuterResult> newton_over_rho<F>(FitContext<F>&, const OuterFrame&);
QUELT_RHO_NEWTON_INSTANCE(Gaussian)
QUELT_RHO_NEWTON_INSTANCE(Bernoulli)
QUELT_RHO_NEWTON_INSTANCE(QuasiBinomial)
QUELT_RHO_NEWTON_INSTANCE(Poisson)
QUELT_RHO_NEWTON_INSTANCE(QuasiPoisson)
QUELT_RHO_NEWTON_INSTANCE(GammaLog)
QUELT_RHO_NEWTON_INSTANCE(GammaInverse)
QUELT_RHO_NEWTON_INSTANCE(InverseGaussian)
QUELT_RHO_NEWTON_INSTANCE(Elf)
#undef QUELT_RHO_NEWTON_INSTANCE

}  // namespace quelt

#include "fit/gaussian_driver.hpp"

#include <cmath>

#include "core/linalg.hpp"
#include "fit/edf_vcov.hpp"
#include "inner/closed_form.hpp"
#include "outer/fellner_schall.hpp"
#include "outer/newton.hpp"
#include "outer/settings.hpp"
#include "score/envelope.hpp"

namespace quelt {

Result<FittedGam> fit_gaussian(ModelDesign design, Vector y, std::optional<Vector> weights) {
  const std::size_t n = design.x.rows();
  QUELT_CHECK_OK(check_data_lengths(n, y.size(), weights));
  QUELT_CHECK_OK(check_finite_response(y));
  QUELT_CHECK_OK(check_prior_weights(weights));

  // The context forms XᵀWX and XᵀWy once; every closed-form fit reuses them.
  // The context takes the model matrix and penalties; design.predictor stays
  // for the record.
  FitContext<Gaussian> ctx = make_fit_context<Gaussian>(
      std::move(design), std::move(y), std::move(weights), Gaussian{}, InnerOptions{});
  const std::size_t m = ctx.m();
  const std::size_t p = ctx.p();

  const OuterOptions options = read_outer_options(OuterOptions{5e-7, 1e-7, 200, 5.0});
  // The fit of the last scored trial, taken over by the evaluation of the
  // point the loop accepts.
  std::optional<PriorFit> last;
  auto evaluate = [&ctx, &last](const Vector& rho) {
    auto r = envelope_eval(ctx, rho, last);
    last.reset();
    return r;
  };
  auto trial = [&ctx, &last](const Vector& u) -> Result<double> {
    QUELT_TRY(InnerFit fit, solve_closed_form_gaussian(ctx, u));
    ctx.fit_stats.inner_pirls_calls += 1;
    ctx.fit_stats.inner_pirls_iterations_total += fit.iterations;
    last.reset();
    QUELT_TRY(auto es, envelope_score(ctx, u, fit));
    last = PriorFit{u, std::nullopt, std::move(fit)};
    return es.score;
  };
  QUELT_TRY(OuterResult r, outer_newton(Vector(m, 0.0), Bounds(m, {-30.0, 30.0}), std::nullopt,
                                        options, evaluate, trial, ctx.fit_stats));
  last.reset();

  // Final fit at the chosen ρ, not counted.
  QUELT_TRY(InnerFit fit, solve_closed_form_gaussian(ctx, r.rho));
  FitOutcome out;
  out.edf_total = compute_edf_total(ctx.x.view(), fit.w, fit.chol);
  Vector edf_per_term = compute_edf_per_term(ctx.penalties, r.rho, p, fit.chol);

  // φ = (RSS_w + Σ_j λ_j βᵀS_jβ) / (n − Mp).
  double dp = fit.weighted_rss;
  for (std::size_t j = 0; j < m; ++j)
    dp += std::exp(r.rho[j]) * quadratic_form(ctx.penalties[j], fit.beta);
  const double resid_df = static_cast<double>(n) - static_cast<double>(ctx.null_space_dim);
  out.scale = resid_df > 0.0 ? dp / resid_df : std::nan("");
  Matrix vcov = compute_vcov(fit.chol, out.scale);

  out.rho = std::move(r.rho);
  out.n_iters = r.n_iters;
  out.converged = r.converged && fit.converged;
  out.reml_value = r.score;
  return assemble_record(std::move(out), std::move(fit.beta), std::move(edf_per_term),
                         std::move(vcov), n, std::move(design.predictor), Link::Identity,
                         ctx.fit_stats);
}

}  // namespace quelt

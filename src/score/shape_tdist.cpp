#include "score/shape_tdist.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/gamma_functions.hpp"
#include "family/tdist.hpp"
#include "inner/pirls_shape.hpp"
#include "score/shape_eval_impl.hpp"
#include "score/shape_score_impl.hpp"

namespace quelt {

namespace {

constexpr double kLnPi = 1.1447298858494002;  // ln π
// MAD of normal data times this estimates its standard deviation.
constexpr double kMadToSd = 1.4826;

// The smallest v with Σ_{x ≤ v} w ≥ ½Σw over the entries of positive weight
// (a NaN v sorts last); NaN when no weight is positive.
double weighted_median(std::vector<std::pair<double, double>> vw) {
  double total = 0.0;
  for (const auto& e : vw) total += e.second;
  if (!(total > 0.0)) return std::nan("");
  std::sort(vw.begin(), vw.end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (!std::isnan(a.first) && std::isnan(b.first));
  });
  double acc = 0.0;
  for (const auto& e : vw) {
    acc += e.second;
    if (acc >= 0.5 * total) return e.first;
  }
  return vw.back().first;
}

// (1.4826·MAD)² of v over the rows of positive weight.
double mad_variance(const Vector& v, const double* w) {
  std::vector<std::pair<double, double>> vw;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double wi = w ? w[i] : 1.0;
    if (wi > 0.0) vw.emplace_back(v[i], wi);
  }
  const double med = weighted_median(vw);
  for (auto& e : vw) e.first = std::fabs(e.first - med);
  const double mad = kMadToSd * weighted_median(vw);
  return mad * mad;
}

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

}  // namespace

TDist ShapeTraits<TDist>::decode(const TDist& base, std::span<const double> tail) {
  check_invariant(tail.size() >= 2, "scaled t: the shape tail needs log σ² and log(ν − 2)");
  TDist f = base;
  f.sigma2 = std::exp(tail[0]);
  f.nu = 2.0 + std::exp(tail[1]);
  return f;
}

double ShapeTraits<TDist>::saturated_loglik(const FitContext<TDist>& ctx, const TDist& f) {
  double wsum = static_cast<double>(ctx.y.size());
  if (ctx.prior_weights)
    wsum = std::accumulate(ctx.prior_weights->begin(), ctx.prior_weights->end(), 0.0);
  const double per = ln_gamma(0.5 * (f.nu + 1.0)) - ln_gamma(0.5 * f.nu) -
                     0.5 * (kLnPi + std::log(f.nu * f.sigma2));
  return wsum * per;
}

Result<InnerFit> ShapeTraits<TDist>::inner_fit(const FitContext<TDist>& ctx, const TDist& f,
                                               std::span<const double> rho) {
  return pirls_shape(ctx, f, rho);
}

Vector ShapeTraits<TDist>::shape_gradient(const FitContext<TDist>& ctx, const InnerFit& fit,
                                          const TDist& f, const PenaltyPieces& pc) {
  const std::span<const double> w =
      ctx.prior_weights ? std::span<const double>(*ctx.prior_weights) : std::span<const double>();
  const TDistObsDerivs d = tdist_obs_derivs(f, ctx.y, fit.mu, w);
  double n0 = 0.0, n1 = 0.0;
  for (std::size_t i = 0; i < ctx.y.size(); ++i) {
    n0 += d.dev_shape(i, 0);
    n1 += d.dev_shape(i, 1);
  }
  double wsum = static_cast<double>(ctx.y.size());
  if (ctx.prior_weights)
    wsum = std::accumulate(ctx.prior_weights->begin(), ctx.prior_weights->end(), 0.0);
  // T = tr(H⁻¹XᵀWX) = Σ_i W_i h_i.
  const double t = fit.xtwx ? frobenius_dot(pc.h_inv, *fit.xtwx)
                            : frobenius_dot(pc.h_inv, xtwx(ctx.x.view(), fit.w.data()));
  const double nu = f.nu, nu2 = nu - 2.0;
  const double dls = nu2 * 0.5 * wsum * (digamma(0.5 * (nu + 1.0)) - digamma(0.5 * nu) - 1.0 / nu);
  return {0.5 * n0 + 0.5 * wsum - 0.5 * t, 0.5 * n1 - dls + t * nu2 / ((nu + 1.0) * (nu + 3.0))};
}

double robust_variance(const FitContext<TDist>& ctx) {
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols();
  const double* w = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  const std::size_t n_obs = ctx.moments.n_obs;
  double v = std::nan("");
  if (n_obs > p) {
    const Matrix a = xtwx(ctx.x.view(), w);
    const Vector b = xtwz(ctx.x.view(), w, ctx.y);
    auto solved = chol_solve_penalized(a, b);
    if (solved.ok()) {
      const Vector fitted = matvec(ctx.x.view(), solved.value().second);
      Vector r(n);
      for (std::size_t i = 0; i < n; ++i) r[i] = ctx.y[i] - fitted[i];
      const double nd = static_cast<double>(n_obs);
      v = mad_variance(r, w) * nd / (nd - static_cast<double>(p));
    }
  }
  if (!positive_finite(v)) v = mad_variance(ctx.y, w);
  if (!positive_finite(v)) v = ctx.moments.sd * ctx.moments.sd;
  if (!positive_finite(v)) v = ctx.moments.mean * ctx.moments.mean;
  return positive_finite(v) ? v : 1.0;
}

ShapeStart ShapeTraits<TDist>::start(const FitContext<TDist>& ctx, const TDist& base,
                                     double rank_total) {
  const double v = robust_variance(ctx);
  const double centre = std::log(v);
  ShapeStart s;
  s.tail_bounds = {{centre - kShapeHalfWidth, centre + kShapeHalfWidth},
                   {-kShapeHalfWidth, kShapeHalfWidth}};
  const double own = std::log(base.sigma2);
  s.tail = {own >= s.tail_bounds[0].first && own <= s.tail_bounds[0].second ? own : centre,
            std::log(base.nu - 2.0)};
  const double nu = 2.0 + std::exp(std::clamp(s.tail[1], -kShapeHalfWidth, kShapeHalfWidth));
  s.weight_level = (nu + 1.0) / ((nu + 3.0) * v);
  double wsum = static_cast<double>(ctx.y.size());
  if (ctx.prior_weights)
    wsum = std::accumulate(ctx.prior_weights->begin(), ctx.prior_weights->end(), 0.0);
  s.score_origin = (wsum + rank_total - static_cast<double>(ctx.p())) * 0.5 * centre;
  return s;
}

QUELT_SHAPE_SCORE_INSTANTIATE(TDist)
QUELT_SHAPE_EVAL_INSTANTIATE(TDist)

}  // namespace quelt

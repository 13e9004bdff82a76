#include "score/scale_pilot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/robust_scale.hpp"

namespace quelt {

namespace {

// The grid of the shared shift δ of ln λ: [−40, 40] in steps of 2 (e^±40
// spans every λ between an interpolating and a polynomial fit).
constexpr double kShiftLow = -40.0;
constexpr double kShiftStep = 2.0;
constexpr int kShiftCount = 41;
// Rows further from the median of y than this many of its spreads count as
// at this distance in the pilot: y's spread holds the signal as well as the
// noise, so this leaves the rows of an ordinary smooth signal alone.
constexpr double kClipSpreads = 3.0;

}  // namespace

double mad_spread(const Vector& v, const double* w) {
  const double total = positive_weight_total(v.size(), w);
  return total > 0.0 ? robust_location(v, w, total).sd : std::nan("");
}

double mad_variance(const Vector& v, const double* w) {
  const double s = mad_spread(v, w);
  return s * s;
}

ScalePilot scale_pilot(const FitContext<TDist>& ctx) {
  const std::size_t n = ctx.n(), p = ctx.p(), m = ctx.m();
  const double* pw = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  // Centre and spread of y: its weighted median and 1.4826·MAD.
  const RobustLocation loc_y = robust_location(ctx.y, pw, positive_weight_total(n, pw));
  const double ybar = loc_y.median, spread_y = loc_y.sd;
  // Rows of zero weight enter as 0 (their y, however wild, is not data);
  // rows beyond kClipSpreads spreads of y enter at that distance, so that
  // gross outliers, which a scaled t is chosen for, move the pilot no further
  // than such a row. Clipping bounds a row's share of the residual sum of
  // squares as well as its pull on β: Huber's weights bound only the pull,
  // and leave a share that grows with the distance, so that one wild row
  // outweighs the noise of all the others in D(δ) and flattens V(δ).
  const double reach = kClipSpreads * spread_y;
  Vector yc(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = pw ? pw[i] : 1.0;
    if (!(wi > 0.0)) continue;
    yc[i] = ctx.y[i] - ybar;
    if (reach > 0.0) yc[i] = std::clamp(yc[i], -reach, reach);
    w[i] = wi;
  }
  const Matrix a = xtwx(ctx.x.view(), w.data());
  const Vector b = xtwz(ctx.x.view(), w.data(), yc);

  ScalePilot out;
  Vector log_c(m, 0.0);
  Matrix s0(p, p);
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& s = ctx.penalties[j];
    double info = 0.0, trace = 0.0;
    for (std::size_t k = 0; k < p; ++k)
      if (s(k, k) != 0.0) {
        info += a(k, k);
        trace += s(k, k);
      }
    const double c = info / trace;
    log_c[j] = c > 0.0 && std::isfinite(c) ? std::log(c) : 0.0;
    const double cj = std::exp(log_c[j]);
    for (std::size_t k = 0; k < s.size(); ++k) s0.data()[k] += cj * s.data()[k];
  }
  const double n_obs = static_cast<double>(ctx.moments.n_obs);
  const double resid_df = n_obs - static_cast<double>(ctx.null_space_dim);
  const double rank = static_cast<double>(p - ctx.null_space_dim);

  double best = std::numeric_limits<double>::infinity(), best_shift = 0.0;
  Vector best_fit;
  Vector fit(n);
  for (int g = 0; g < kShiftCount; ++g) {
    const double shift = kShiftLow + kShiftStep * g, lam = std::exp(shift);
    Matrix h = a;
    for (std::size_t k = 0; k < h.size(); ++k) h.data()[k] += lam * s0.data()[k];
    auto solved = chol_solve_penalized(h, b);
    if (!solved.ok()) continue;
    const auto& [l, beta] = solved.value();
    matvec_into(ctx.x.view(), beta.data(), fit.data());
    double rss = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double r = yc[i] - fit[i];
      rss += w[i] * (r * r);
    }
    const double dp = rss + lam * quadratic_form(s0, beta);
    const double v =
        0.5 * resid_df * std::log(dp) + 0.5 * log_det_from_cholesky(l) - 0.5 * rank * shift;
    if (v < best) {
      best = v;
      best_shift = shift;
      best_fit = fit;
    }
  }
  if (best_fit.empty()) return out;

  out.ok = true;
  out.rho = log_c;
  for (double& r : out.rho) r += best_shift;
  out.fitted = std::move(best_fit);
  Vector resid(n);
  for (std::size_t i = 0; i < n; ++i) {
    resid[i] = pw && !(pw[i] > 0.0) ? 0.0 : (ctx.y[i] - ybar) - out.fitted[i];
    out.fitted[i] += ybar;
    if (!pw || pw[i] > 0.0)
      out.largest_residual = std::fmax(out.largest_residual, std::fabs(resid[i]));
  }
  // The spread that measures the largest residual: the smaller of the
  // residuals' and of y's own, where positive (taken apart from the
  // variance, which can underflow where they do not).
  const double spread_r = mad_spread(resid, pw);
  out.variance = spread_r * spread_r;
  out.spread = spread_r > 0.0 && (spread_r < spread_y || !(spread_y > 0.0)) ? spread_r : spread_y;
  return out;
}

}  // namespace quelt

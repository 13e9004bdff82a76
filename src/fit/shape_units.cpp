#include "fit/shape_units.hpp"

#include <cmath>
#include <utility>

#include "core/format.hpp"
#include "core/numeric.hpp"
#include "fit/driver_common.hpp"
#include "score/scale_pilot.hpp"
#include "score/shape_score.hpp"
#include "score/shape_tweedie.hpp"

namespace quelt {

namespace {

// 2^round(log₂ v) for a positive finite v, else 1.
double power_of_two_near(double v) {
  if (!(v > 0.0 && std::isfinite(v))) return 1.0;
  int e = 0;
  const double f = std::frexp(v, &e);  // v = f·2^e, f in [½, 1)
  return std::ldexp(1.0, f < 0.7071067811865476 ? e - 1 : e);
}

// Exact, c being a power of two (a division, as 1/c overflows for a
// subnormal c).
void divide_response(Vector& y, WeightedMoments& mom, double c) {
  for (double& v : y) v /= c;
  mom.mean /= c;
  mom.sd /= c;
}

// A response further from the curve than kLargestPilotSpreads spreads.
QueltError too_far(double y, std::size_t row) {
  return y_too_large("y=" + fmt_float(y) + " at row " + fmt_uint(row) +
                     " lies more than 2^460 spreads of the noise from the curve; its squared "
                     "residual overflows a 64-bit float");
}

void set_lambda(FittedGam& rec) {
  rec.lambda.resize(rec.rho.size());
  for (std::size_t j = 0; j < rec.rho.size(); ++j) rec.lambda[j] = std::exp(rec.rho[j]);
}

}  // namespace

Result<double> enter_units(FitContext<TDist>& ctx) {
  const double* w = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  // The unit is y's robust spread, which a few wild rows do not inflate as
  // they inflate sd(y): the rows that carry the information stay at unit
  // spread, where the squares and cubes of their residuals in the score's
  // derivatives neither underflow nor overflow.
  const double robust = mad_spread(ctx.y, w);
  const double c =
      power_of_two_near(robust > 0.0 && std::isfinite(robust) ? robust : ctx.moments.sd);
  // A response that leaves the float range in these units lies further than
  // the float range, and so more than 2^460 spreads, from any curve of the
  // other rows.
  for (std::size_t i = 0; i < ctx.n(); ++i)
    if ((!w || w[i] > 0.0) && !std::isfinite(ctx.y[i] / c)) return too_far(ctx.y[i], i);
  divide_response(ctx.y, ctx.moments, c);
  const double s2 = ctx.family.sigma2 / c / c;
  if (s2 > 0.0 && std::isfinite(s2)) ctx.family.sigma2 = s2;

  ScalePilot pilot = scale_pilot(ctx);
  if (!pilot.ok) return c;
  if (pilot.spread > 0.0 && !(pilot.largest_residual <= kLargestPilotSpreads * pilot.spread)) {
    for (std::size_t i = 0; i < ctx.n(); ++i) {
      if (w && !(w[i] > 0.0)) continue;
      if (std::fabs(ctx.y[i] - pilot.fitted[i]) == pilot.largest_residual)
        return too_far(ctx.y[i] * c, i);
    }
  }
  ctx.pilot_rho = std::move(pilot.rho);
  ctx.pilot_variance = pilot.variance;
  ctx.eta_start = std::move(pilot.fitted);
  return c;
}

Status leave_units(FittedGam& rec, const FitContext<TDist>& ctx, double c) {
  if (c == 1.0) return ok_status();
  const double lc = std::log(c);
  for (double& b : rec.beta) b *= c;
  for (double& r : rec.rho) r -= 2.0 * lc;
  set_lambda(rec);
  rec.scale = (rec.scale * c) * c;
  for (double& v : rec.vcov.storage()) v = (v * c) * c;
  if (!rec.shape_params.empty()) rec.shape_params[0] += 2.0 * lc;
  double wsum = static_cast<double>(ctx.n());
  if (ctx.prior_weights) {
    wsum = 0.0;
    for (double v : *ctx.prior_weights) wsum += v;
  }
  rec.reml_value += (wsum + penalty_rank_total(ctx) - static_cast<double>(ctx.p())) * lc;
  QUELT_CHECK_OK(check_units_range(rec.scale, rec.vcov, std::nullopt, "the scale estimate"));
  for (double b : rec.beta)
    if (!std::isfinite(b)) return scale_estimate_overflow();
  return ok_status();
}

Result<double> enter_units(FitContext<Tweedie>& ctx) {
  if (!has_free_intercept(ctx.x, ctx.penalties)) return 1.0;
  const double c = power_of_two_near(ctx.moments.mean);
  divide_response(ctx.y, ctx.moments, c);
  const double phi = ctx.family.phi / std::pow(c, 2.0 - ctx.family.p);
  if (phi > 0.0 && std::isfinite(phi)) ctx.family.phi = phi;
  return c;
}

Status leave_units(FittedGam& rec, const FitContext<Tweedie>& ctx, double c) {
  if (c == 1.0) return ok_status();
  const double lc = std::log(c);
  const double p = ShapeTraits<Tweedie>::decode(ctx.family, rec.shape_params).p;
  const double k = (2.0 - p) * lc;
  if (!rec.beta.empty()) rec.beta[0] += lc;
  for (double& r : rec.rho) r += k;
  set_lambda(rec);
  rec.scale *= std::exp(k);
  if (!rec.shape_params.empty()) rec.shape_params[0] += k;
  double wpos = 0.0;
  for (std::size_t i = 0; i < ctx.n(); ++i)
    if (ctx.y[i] > 0.0) wpos += ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
  rec.reml_value += wpos * lc;
  return check_units_range(rec.scale, rec.vcov, std::nullopt, "the scale estimate");
}

}  // namespace quelt

#include "score/envelope.hpp"

#include <cmath>
#include <cstring>

#include "core/blas.hpp"
#include "core/lanes.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "core/special.hpp"
#include "design/penalty_groups.hpp"
#include "inner/closed_form.hpp"
#include "inner/pirls.hpp"
#include "inner/working.hpp"
#include "score/data_units.hpp"
#include "score/newton_terms.hpp"
#include "score/row_forms.hpp"
#include "score/warm_start.hpp"

namespace quelt {

namespace {

constexpr double kInadmissibleScore = 1e12;
constexpr double kGammaScaleFloor = 1e-8;

EnvelopeScore inadmissible_record(std::size_t m, Vector lambda) {
  EnvelopeScore es;
  es.grad.assign(m, 0.0);
  es.score = kInadmissibleScore;
  es.lambda = std::move(lambda);
  es.bsb_per_term.assign(m, 0.0);
  es.trace_per_term.assign(m, 0.0);
  es.dscale_drho.reset();
  es.h_inv = Matrix(0, 0);
  es.scale = 1.0;
  es.fd_hessian = false;
  es.log_det_s_hessian = Matrix(0, 0);
  return es;
}

// q_i += sign * (z_i * z_i) for i < n.
QUELT_WIDE_CLONES
void add_signed_squares(const double* z, double sign, std::size_t n, double* q) {
  const Lanes4 sv = splat4(sign);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const Lanes4 zv = load4(z + i);
    store4(q + i, load4(q + i) + sv * (zv * zv));
  }
  for (; i < n; ++i) q[i] += sign * (z[i] * z[i]);
}

// e_i = z_i * c for i < n.
QUELT_WIDE_CLONES
void scale_into(const double* z, double c, std::size_t n, double* e) {
  const Lanes4 cv = splat4(c);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) store4(e + i, load4(z + i) * cv);
  for (; i < n; ++i) e[i] = z[i] * c;
}

// S beta.
Vector mat_vec_small(const Matrix& s, const Vector& b) {
  const std::size_t p = s.rows();
  Vector u(p);
  for (std::size_t a = 0; a < p; ++a) {
    const double* row = s.row_ptr(a);
    double acc = 0.0;
    for (std::size_t c = 0; c < p; ++c) acc += row[c] * b[c];
    u[a] = acc;
  }
  return u;
}

double dot(const Vector& a, const Vector& b) {
  double acc = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) acc += a[i] * b[i];
  return acc;
}

}  // namespace

std::optional<Vector> scaled_terms_over_resid_df(std::size_t n, std::span<const double> a,
                                                 std::span<const double> b, std::size_t mp) {
  const double df = static_cast<double>(n) - static_cast<double>(mp);
  if (df <= 0.0) return std::nullopt;
  const std::size_t k = a.size() < b.size() ? a.size() : b.size();
  Vector out(k);
  for (std::size_t i = 0; i < k; ++i) out[i] = a[i] * b[i] / df;
  return out;
}

double gamma_profile_scale(double dp, std::size_t n_, std::size_t mp_) {
  const double n = static_cast<double>(n_), mp = static_cast<double>(mp_);
  double phi = floor_at(dp / (n - mp), 1e-8);
  const double tau = (std::fabs(dp) + (n - (n - mp)) + 1.0) * 1e-10;
  for (std::size_t k = 0;; ++k) {
    const double a = 1.0 / phi;
    const double g = mp * phi + (dp + 2.0 * n * (std::log(phi) + digamma(a)));
    if (std::fabs(g) < tau) break;
    const double gd = mp + (2.0 * n / phi) * (1.0 - a * trigamma(a));
    if (std::fabs(gd) < 1e-15) break;
    const double stepped = std::fmax(phi - g / gd, 0.1 * phi);
    const double phi_new = floor_at(std::fmin(stepped, 10.0 * phi), 1e-8);
    if (std::isnan(phi_new) || std::isinf(phi_new)) break;
    const bool done = std::fabs(phi_new - phi) < 1e-12 * phi || k >= 29;
    phi = phi_new;
    if (done) break;
  }
  return phi;
}

template <class Family>
Result<InnerFit> fit_at_rho(const FitContext<Family>& ctx, std::span<const double> rho,
                            const std::optional<Vector>& beta0) {
  if constexpr (requires { ctx.xtwx; }) {
    return solve_closed_form_gaussian(ctx, rho);
  } else {
    return pirls(ctx, total_penalty(ctx.penalties, rho, ctx.x.cols()), beta0);
  }
}

template <class Family>
Result<EnvelopeScore> envelope_score(const FitContext<Family>& ctx, std::span<const double> rho,
                                     const InnerFit& fit) {
  const std::size_t m = ctx.penalties.size();
  check_invariant(rho.size() >= m, "envelope_score: rho shorter than the penalty list");
  check_invariant(ctx.penalty_ranks.size() >= m && ctx.penalty_log_pdets.size() >= m,
                  "envelope_score: fewer ranks or log pseudo-determinants than penalties");
  check_invariant(fit.beta.size() == fit.p && fit.chol.rows() == fit.p,
                  "envelope_score: inner fit record is inconsistent");
  // Rows of zero prior weight are not data: n counts the others.
  const double n = static_cast<double>(ctx.moments.n_obs), p = static_cast<double>(fit.p);
  const double mp = static_cast<double>(ctx.null_space_dim);

  // Common part.
  Vector lambda(rho.size());
  for (std::size_t j = 0; j < rho.size(); ++j) lambda[j] = std::exp(rho[j]);
  Matrix h_inv = inverse_from_cholesky(fit.chol.view());
  Vector bsb(m), tr(m);
  double bsum = 0.0, tsum = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& s = ctx.penalties[j];
    const Vector u = mat_vec_small(s, fit.beta);
    double b = -0.0;
    for (std::size_t i = 0; i < fit.p; ++i) b += fit.beta[i] * u[i];
    double t = 0.0;
    for (std::size_t a = 0; a < fit.p; ++a)
      for (std::size_t c = 0; c < fit.p; ++c) t += h_inv(a, c) * s(c, a);
    bsb[j] = b;
    tr[j] = t;
    bsum += lambda[j] * b;
    tsum += lambda[j] * t;
  }
  double log_det_h = fit.chol.rows() == 0 ? 0.0 : log_det_from_cholesky(fit.chol);
  PenaltyLogDet ld = penalty_log_det(ctx.penalties, ctx.penalty_ranks, ctx.penalty_log_pdets,
                                     ctx.penalty_groups, rho);
  const double dev = fit.deviance;
  const double dp = bsum + dev;

  if constexpr (Family::information == Information::FullNewton) {
    if (auto nl = newton_log_det_h(ctx, rho, fit)) log_det_h = *nl;
  }

  EnvelopeScore es;
  es.lambda = lambda;
  es.grad.assign(m, 0.0);
  if constexpr (Family::scale == Scale::Known) {
    double ls = 0.0;
    // Counts repeat: y ln y - y of a small whole y is looked up once per call.
    constexpr std::size_t kTable = 4096;
    std::vector<double> table;
    std::vector<char> known;
    if constexpr (Family::saturated == Saturated::Poisson) {
      table.assign(kTable + 1, 0.0);
      known.assign(kTable + 1, 0);
    }
    // Weighted by the prior weights, as the deviance is.
    const std::size_t ny = ctx.y.size();
    for (std::size_t i = 0; i < ny; ++i) {
      const double y = ctx.y[i];
      const double wi = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
      if constexpr (Family::saturated == Saturated::Poisson) {
        if (y > 0.0) {
          if (y <= static_cast<double>(kTable) && y == std::floor(y)) {
            const auto c = static_cast<std::size_t>(y);
            if (!known[c]) {
              table[c] = y * std::log(y) - y;
              known[c] = 1;
            }
            ls += wi * table[c];
          } else {
            ls += wi * (y * std::log(y) - y);
          }
        }
      } else {
        if (y > 0.0 && y < 1.0) {
          const double q = binomial_clamp(y);
          ls += wi * (q * std::log(q) + (1.0 - q) * std::log(1.0 - q));
        }
      }
    }
    es.score = (bsum + dev) * 0.5 + (mp / 2.0) * (-kLogTwoPi);
    es.score = es.score + log_det_h / 2.0 - ld.value / 2.0 - ls;
    for (std::size_t j = 0; j < m; ++j)
      es.grad[j] = 0.5 * lambda[j] * bsb[j] + 0.5 * lambda[j] * tr[j] - 0.5 * ld.grad[j];
    es.dscale_drho = Vector(m, 0.0);
    es.scale = 1.0;
  } else {
    // Estimated scale: admissibility first. A constant response is fitted
    // exactly at every rho; its zero deviance is the data's, not a sign of
    // interpolation, and its scale sits at the floor.
    const DataUnits units = data_units(ctx);
    const bool exact = units.constant_y;
    if (dev <= 0.0 && !exact) return inadmissible_record(m, std::move(lambda));
    if ((dp <= 0.0 && !exact) || p - tsum >= n) return inadmissible_record(m, std::move(lambda));
    if (n - mp <= 0.0) return inadmissible_record(m, std::move(lambda));
    // The y terms of the saturated log-likelihood are weighted by the prior
    // weights, as the deviance is; its ln phi terms count the rows of
    // positive weight, as the scale estimate does.
    double phi = 0.0, ls = 0.0, sum_wlny = 0.0;
    if constexpr (Family::saturated == Saturated::Gamma ||
                  Family::saturated == Saturated::InverseGaussian) {
      const std::size_t ny = ctx.y.size();
      for (std::size_t i = 0; i < ny; ++i) {
        const double wi = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
        if (wi > 0.0) sum_wlny += wi * std::log(floor_at(ctx.y[i], 1e-300));
      }
    }
    if constexpr (Family::saturated == Saturated::Gamma) {
      phi = floor_at(gamma_profile_scale(dp, ctx.moments.n_obs, ctx.null_space_dim),
                     kGammaScaleFloor);
      const double a = 1.0 / phi;
      const double kappa = -ln_gamma(a) - std::log(phi) * a - a;
      ls = n * kappa - sum_wlny;
    } else {
      phi = floor_at(dp / floor_at(n - mp, 1.0), kScaleFloorRel * units.dispersion);
      const double half_log = -0.5 * std::log(kTwoPi * phi);
      ls = n * half_log;
      if constexpr (Family::saturated == Saturated::InverseGaussian) ls += (-1.5) * sum_wlny;
    }
    es.score = log_det_h / 2.0 + (dp / (2.0 * phi) + (-0.5 * mp * std::log(kTwoPi * phi))) -
               ld.value / 2.0 - ls;
    for (std::size_t j = 0; j < m; ++j)
      es.grad[j] = lambda[j] * bsb[j] / (phi + phi) + 0.5 * lambda[j] * tr[j] - 0.5 * ld.grad[j];
    if constexpr (Family::saturated == Saturated::Gamma) {
      const double a = 1.0 / phi;
      const double gd = (2.0 * n / phi) * (1.0 - a * trigamma(a)) + mp;
      Vector c(m, 0.0);
      if (!(std::fabs(gd) < 1e-15))
        for (std::size_t j = 0; j < m; ++j) c[j] = bsb[j] * ((-1.0 / gd) * lambda[j]);
      es.dscale_drho = std::move(c);
    } else if constexpr (Family::information == Information::FullNewton) {
      // The score takes log|H_N|, so its derivative takes the trace from
      // H_N^{-1} as well; the fit's factor differs from H_N wherever PIRLS
      // fell back to Fisher weights (responses below half their means).
      if (auto nt = newton_weight_gradient_terms(ctx, rho, fit)) {
        for (std::size_t j = 0; j < m; ++j)
          es.grad[j] = 0.5 * nt->k[j] + (lambda[j] * bsb[j] / (phi + phi) +
                                         0.5 * lambda[j] * nt->trace[j] - 0.5 * ld.grad[j]);
        es.fd_hessian = true;
      }
      es.dscale_drho =
          scaled_terms_over_resid_df(ctx.moments.n_obs, bsb, lambda, ctx.null_space_dim);
    } else {
      Vector c(m);
      for (std::size_t j = 0; j < m; ++j) c[j] = lambda[j] * bsb[j] / (n - mp);
      es.dscale_drho = std::move(c);
    }
    es.scale = phi;
  }
  es.bsb_per_term = std::move(bsb);
  es.trace_per_term = std::move(tr);
  es.h_inv = std::move(h_inv);
  es.log_det_s_hessian = std::move(ld.hessian);
  return es;
}

template <class Family>
Result<std::pair<double, Vector>> envelope_score_at_rho(const FitContext<Family>& ctx,
                                                        std::span<const double> rho) {
  QUELT_TRY(InnerFit fit, fit_at_rho(ctx, rho, std::nullopt));
  auto es = envelope_score(ctx, rho, fit);
  ctx.scratch.give_fit(fit);
  if (!es.ok()) return std::move(es).take_error();
  return std::pair<double, Vector>(es.value().score, std::move(es.value().grad));
}

namespace {

// Symmetrised central differences (step 1e-5) of cold-start gradients.
template <class Family>
Result<Matrix> difference_hessian(const FitContext<Family>& ctx, std::span<const double> rho) {
  const std::size_t m = rho.size();
  Matrix h(m, m);
  for (std::size_t j = 0; j < m; ++j) {
    Vector rp(rho.begin(), rho.end()), rm(rho.begin(), rho.end());
    rp[j] = rho[j] + 1e-5;
    rm[j] = rho[j] + (-1e-5);
    QUELT_TRY(auto plus, envelope_score_at_rho(ctx, rp));
    QUELT_TRY(auto minus, envelope_score_at_rho(ctx, rm));
    check_invariant(plus.second.size() >= m && minus.second.size() >= m,
                    "difference Hessian: gradient shorter than rho");
    for (std::size_t i = 0; i < m; ++i) h(i, j) = (plus.second[i] - minus.second[i]) / 2e-5;
  }
  symmetrize_average(h);
  return h;
}

template <class Family>
Matrix analytic_hessian(const FitContext<Family>& ctx, const InnerFit& fit,
                        const EnvelopeScore& es) {
  const std::size_t m = ctx.penalties.size(), p = fit.p;
  const Matrix h_inv = es.h_inv.rows() == p ? es.h_inv : inverse_from_cholesky(fit.chol.view());
  // v_j = H^{-1} S_j beta, with H the observed-information matrix where it
  // differs from the fit's Fisher matrix (then -lambda_j v_j is dbeta/drho_j).
  std::optional<Matrix> h_obs_inv;
  if constexpr (Family::information == Information::ObservedSlope) {
    if (fit.x) {
      const Working<Family> work{ctx.family};
      Vector wo(fit.n);
      for (std::size_t i = 0; i < fit.n; ++i) {
        const double wp = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
        wo[i] = work.observed_weight(ctx.y[i], fit.mu[i], wp);
      }
      Matrix ho = xtwx(*fit.x, wo.data());
      Matrix s = Matrix(p, p);
      for (std::size_t j = 0; j < m; ++j)
        for (std::size_t i = 0; i < s.size(); ++i)
          s.data()[i] += es.lambda[j] * ctx.penalties[j].data()[i];
      for (std::size_t i = 0; i < ho.size(); ++i) ho.data()[i] += s.data()[i];
      auto f = cholesky(std::move(ho));
      if (f.ok()) h_obs_inv = inverse_from_cholesky(f.value().view());
    }
  }
  const Matrix& h_move = h_obs_inv ? *h_obs_inv : h_inv;
  std::vector<Vector> u(m), v(m);
  for (std::size_t j = 0; j < m; ++j) {
    u[j] = mat_vec_small(ctx.penalties[j], fit.beta);
    v[j] = mat_vec_small(h_move, u[j]);
  }
  std::vector<Matrix> a(m);
  for (std::size_t j = 0; j < m; ++j) a[j] = gemm(h_inv.view(), ctx.penalties[j].view());

  const Vector& lam = es.lambda;
  const Vector& t = es.trace_per_term;
  const Vector& b = es.bsb_per_term;
  const Vector& c = *es.dscale_drho;
  const double phi = es.scale;

  // Weight-derivative sums wsum(j, k) = sum_i dW_i/deta_i * deta_i/drho_j * q_k[i]
  // in row order, with deta/drho_j = -lambda_j X v_j and
  // q_k[i] = x_i^T H^{-1} S_k H^{-1} x_i = y_i^T S_k y_i (y_i = H^{-1} x_i).
  // One BLAS product of each row block of X with [penalty factors | v]
  // gives both, so no row-length array is formed.
  const bool weight_terms = Family::has_weight_derivative_terms && fit.dw_deta && fit.x;
  Matrix wsum(m, m);
  if (weight_terms) {
    const MatrixView x = *fit.x;
    const Vector& wd = *fit.dw_deta;
    const PenaltyRowFactors f = penalty_row_factors(p, h_inv, ctx.penalties);
    const std::size_t rtot = f.sign.size();
    Matrix ext(p, rtot + m);
    for (std::size_t a = 0; a < p; ++a) {
      for (std::size_t r = 0; r < rtot; ++r) ext(a, r) = f.stacked(a, r);
      for (std::size_t j = 0; j < m; ++j) ext(a, rtot + j) = v[j][a];
    }
    // Per block, Zt = ext^T X_b^T holds one row per factor column, so the
    // per-row forms are built column by column over contiguous rows; the
    // sums over rows then run in row order.
    Matrix zt, q(m, kRowFormBlock), e(m, kRowFormBlock);
    const std::size_t n = x.rows;
    for (std::size_t r0 = 0; r0 < n; r0 += kRowFormBlock) {
      const std::size_t nr = n - r0 < kRowFormBlock ? n - r0 : kRowFormBlock;
      gemm_into(ext.view().t(), x.row_block(r0, nr).t(), zt);
      std::fill(q.storage().begin(), q.storage().end(), 0.0);
      for (std::size_t r = 0; r < rtot; ++r)
        add_signed_squares(zt.row_ptr(r), f.sign[r], nr, q.row_ptr(f.owner[r]));
      for (std::size_t j = 0; j < m; ++j)
        scale_into(zt.row_ptr(rtot + j), -lam[j], nr, e.row_ptr(j));
      const double* wdb = wd.data() + r0;
      for (std::size_t j = 0; j < m; ++j) {
        const double* ej = e.row_ptr(j);
        double* row = wsum.row_ptr(j);
        for (std::size_t k = 0; k < m; ++k) {
          const double* qk = q.row_ptr(k);
          double acc = row[k];
          for (std::size_t i = 0; i < nr; ++i) acc += wdb[i] * ej[i] * qk[i];
          row[k] = acc;
        }
      }
    }
  }

  Matrix hess(m, m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = j; k < m; ++k) {
      double tjk = 0.0;
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t s = 0; s < p; ++s) tjk += a[j](r, s) * a[k](s, r);
      double pjk = -lam[j] * lam[k] * tjk;
      if (j == k) pjk += lam[j] * t[j];
      double ejk = 0.0;
      if (weight_terms) {
        const double s1 = wsum(j, k), s2 = wsum(k, j);
        ejk = 0.5 * (-0.5 * lam[k] * s1 - 0.5 * lam[j] * s2);
      }
      double qjk = -2.0 * lam[j] * lam[k] * dot(u[j], v[k]);
      if (j == k) qjk += lam[j] * b[j];
      const double rjk = c[j] * (lam[k] * b[k] / (phi * (phi + phi)));
      double hjk = (0.5 * pjk + ejk) + qjk / (phi + phi) - rjk;
      if (es.log_det_s_hessian.rows() == m) hjk -= 0.5 * es.log_det_s_hessian(j, k);
      hess(j, k) = hjk;
      hess(k, j) = hjk;
    }
  return hess;
}

// The same doubles, bit for bit (so -0.0 differs from 0.0 and NaN matches
// only an identical NaN).
bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho) {
  std::optional<PriorFit> none;
  return envelope_eval(ctx, rho, none);
}

template <class Family>
Result<OuterEval> envelope_eval(FitContext<Family>& ctx, std::span<const double> rho,
                                std::optional<PriorFit>& prior) {
  const std::size_t m = ctx.penalties.size();
  std::optional<Vector> beta0;
  if constexpr (Family::uses_warm_start) beta0 = envelope_warm_start_beta(ctx, rho);
  InnerFit fit;
  if (prior && same_bits(prior->rho, rho) && prior->beta0.has_value() == beta0.has_value() &&
      (!beta0 || same_bits(*prior->beta0, *beta0))) {
    fit = std::move(prior->fit);
    prior.reset();
  } else {
    QUELT_TRY(InnerFit fresh, fit_at_rho(ctx, rho, beta0));
    fit = std::move(fresh);
  }
  ctx.fit_stats.inner_pirls_calls += 1;
  ctx.fit_stats.inner_pirls_iterations_total += static_cast<std::uint64_t>(fit.iterations);
  QUELT_TRY(EnvelopeScore es, envelope_score(ctx, rho, fit));

  Matrix hess;
  if (es.fd_hessian || !es.dscale_drho) {
    QUELT_TRY(Matrix hd, difference_hessian(ctx, rho));
    hess = std::move(hd);
  } else {
    hess = analytic_hessian(ctx, fit, es);
  }

  if constexpr (Family::uses_warm_start) {
    if (es.h_inv.rows() == fit.p) {
      WarmStartCache cache;
      cache.dbeta_drho = Matrix(fit.p, m);
      for (std::size_t j = 0; j < m; ++j) {
        const Vector w = mat_vec_small(es.h_inv, mat_vec_small(ctx.penalties[j], fit.beta));
        for (std::size_t i = 0; i < fit.p; ++i) cache.dbeta_drho(i, j) = -es.lambda[j] * w[i];
      }
      cache.lambda = es.lambda;
      cache.beta = fit.beta;
      auto cell = ctx.warm_start.borrow_mut();
      *cell = std::move(cache);
    }
  }
  ctx.scratch.give_fit(fit);
  OuterEval out;
  out.grad = std::move(es.grad);
  out.score = es.score;
  out.hessian = std::move(hess);
  return out;
}

#define QUELT_ENVELOPE_INSTANTIATE(F)                                                             \
  template Result<InnerFit> fit_at_rho<F>(const FitContext<F>&, std::span<const double>,          \
                                          const std::optional<Vector>&);                          \
  template Result<EnvelopeScore> envelope_score<F>(const FitContext<F>&, std::span<const double>, \
                                                   const InnerFit&);                              \
  template Result<OuterEval> envelope_eval<F>(FitContext<F>&, std::span<const double>);           \
  template Result<OuterEval> envelope_eval<F>(FitContext<F>&, std::span<const double>,            \
                                              std::optional<PriorFit>&);                          \
  template Result<std::pair<double, Vector>> envelope_score_at_rho<F>(const FitContext<F>&,       \
                                                                      std::span<const double>);
QUELT_ENVELOPE_INSTANTIATE(Gaussian)
QUELT_ENVELOPE_INSTANTIATE(Bernoulli)
QUELT_ENVELOPE_INSTANTIATE(QuasiBinomial)
QUELT_ENVELOPE_INSTANTIATE(Poisson)
QUELT_ENVELOPE_INSTANTIATE(QuasiPoisson)
QUELT_ENVELOPE_INSTANTIATE(GammaLog)
QUELT_ENVELOPE_INSTANTIATE(GammaInverse)
QUELT_ENVELOPE_INSTANTIATE(InverseGaussian)
#undef QUELT_ENVELOPE_INSTANTIATE

}  // namespace quelt

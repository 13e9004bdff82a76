// Definitions of the generic PIRLS loop and its step test (declared in
// inner/pirls.hpp). A family joins by specialising Working<Family>
// (inner/working.hpp) and instantiating these templates. The loop itself,
// pirls_run, takes the family value and the working quantities as
// arguments, so that a fit at other shape values, or with other working
// weights, reads the context's data without copying it.
#pragma once

#include <cmath>
#include <limits>
#include <string>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "family/link.hpp"
#include "inner/pirls.hpp"
#include "inner/working.hpp"

namespace quelt {

namespace pirls_detail {

// H + S element by element.
inline void add_into(Matrix& h, const Matrix& s) {
  double* hd = h.data();
  const double* sd = s.data();
  for (std::size_t i = 0; i < h.size(); ++i) hd[i] += sd[i];
}

}  // namespace pirls_detail

template <class Family>
bool pirls_reject_step(const FitContext<Family>& ctx, bool first, double p_old, double theta,
                       std::span<const double> eta_new, const Vector* mu_new, double p_new) {
  if (!std::isfinite(p_new)) return true;
  if (mu_new == nullptr) invariant_failed("PIRLS halving always provides μ");
  const Vector& mu = *mu_new;
  const std::size_t n = eta_new.size();
  check_invariant(mu.size() >= n && ctx.y.size() >= n,
                  "pirls_reject_step: mean or response shorter than the linear predictor");
  const Working<Family> work{ctx.family};
  bool rows_finite = true;
  for (std::size_t i = 0; i < n && rows_finite; ++i)
    rows_finite = pirls_row_finite(eta_new[i], mu[i], work.unit_deviance(ctx.y[i], mu[i])) &&
                  pirls_mean_usable<Family::link>(mu[i]);
  return pirls_reject_trial(first, p_old, theta, p_new, rows_finite);
}

namespace pirls_detail {

// One state of the iteration: the linear predictor and everything PIRLS
// derives from it row by row, plus (when formed) the weighted cross products
// of the next solve.
struct PirlsState {
  Vector eta, mu, w, z;        // n entries each
  double deviance = 0.0;       // D = Σ_i w_prior,i d(y_i, μ_i) in index order
  double rss = 0.0;            // Σ_i w_i (z_i − η_i)² in index order
  bool finite = true;          // every η_i, μ_i and d(y_i, μ_i) finite
  std::optional<Matrix> xtwx;  // XᵀWX at these weights
  // When xtwx is formed (p entries): XᵀW(z − η), the right-hand side of the
  // step from a β with Xβ = η; XᵀWz for a start whose η is no such Xβ.
  Vector xtwv;
};

// Exchanges two states member by member (no temporary state is formed).
inline void swap_states(PirlsState& a, PirlsState& b) noexcept {
  a.eta.swap(b.eta);
  a.mu.swap(b.mu);
  a.w.swap(b.w);
  a.z.swap(b.z);
  std::swap(a.deviance, b.deviance);
  std::swap(a.rss, b.rss);
  std::swap(a.finite, b.finite);
  a.xtwx.swap(b.xtwx);
  a.xtwv.swap(b.xtwv);
}

// Adds one block of rows to XᵀWv and, unless gram is null, to XᵀWX, where
// v = z − η when eta is given and v = z otherwise.
inline void add_cross_block(MatrixView xb, const double* w, const double* z, const double* eta,
                            WeightedGram* gram, Vector& wv, Vector& xtwv) {
  const std::size_t nb = xb.rows;
  if (gram) gram->add(xb, w);
  for (std::size_t i = 0; i < nb; ++i) wv[i] = w[i] * (eta ? z[i] - eta[i] : z[i]);
  add_xt_times(xb, wv.data(), xtwv.data());
}

// XᵀWX and XᵀW(z − η) of a state whose pass did not form them, from its
// w, z and η, by the same blocks (so the same numbers as a pass that did);
// XᵀWX is copied from `fixed_gram` when the weights do not change between
// passes.
inline void cross_pass(MatrixView X, PirlsState& st, const Matrix* fixed_gram) {
  const std::size_t n = X.rows, p = X.cols;
  std::optional<WeightedGram> gram;
  if (!fixed_gram) gram.emplace(p);
  st.xtwv.assign(p, 0.0);
  const std::size_t block = WeightedGram::block_rows(p);
  Vector wv(n < block ? n : block);
  for (std::size_t r0 = 0; r0 < n; r0 += block) {
    const std::size_t nb = n - r0 < block ? n - r0 : block;
    add_cross_block(X.row_block(r0, nb), st.w.data() + r0, st.z.data() + r0, st.eta.data() + r0,
                    gram ? &*gram : nullptr, wv, st.xtwv);
  }
  st.xtwx = fixed_gram ? *fixed_gram : gram->result();
}

// One pass over the rows of X in blocks: η = Xβ when β is given (otherwise
// st.eta is used as it stands), then per row μ = g⁻¹(η), the unit deviance,
// the working pair (w, z) and the residual sum, and, when `cross` is set,
// XᵀWX and XᵀWv while the block of X is still in cache (XᵀWX copied from
// `fixed_gram` when given: weights that are the same in every pass), with
// v = z − η when `about_eta` is set (η is Xb of a known b) and v = z
// otherwise. Sums run over the rows in index order, as the separate passes
// would.
template <class Family, class Work>
void state_pass(const FitContext<Family>& ctx, const Work& work, const double* wp,
                const Vector* beta, PirlsState& st, bool cross, bool about_eta,
                const Matrix* fixed_gram = nullptr) {
  constexpr Link kLink = Family::link;
  const MatrixView X = ctx.x.view();
  const std::size_t n = X.rows, p = X.cols;
  const double* y = ctx.y.data();
  st.eta.resize(n);
  st.mu.resize(n);
  st.w.resize(n);
  st.z.resize(n);
  double dev = 0.0, rss = 0.0;
  bool finite = true;
  std::optional<WeightedGram> gram;
  Vector wv;
  if (cross) {
    if (!fixed_gram) gram.emplace(p);
    st.xtwv.assign(p, 0.0);
  }
  const std::size_t block = WeightedGram::block_rows(p);
  if (cross) wv.resize(n < block ? n : block);
  for (std::size_t r0 = 0; r0 < n; r0 += block) {
    const std::size_t nb = n - r0 < block ? n - r0 : block;
    const MatrixView xb = X.row_block(r0, nb);
    if (beta) matvec_into(xb, beta->data(), st.eta.data() + r0);
    for (std::size_t i = r0; i < r0 + nb; ++i) {
      const double eta = st.eta[i];
      const double mu = inverse_link<kLink>(eta);
      const double d = work.unit_deviance(y[i], mu);
      const double wpi = wp ? wp[i] : 1.0;
      dev += wpi * d;
      if (!pirls_row_finite(eta, mu, d) || !pirls_mean_usable<kLink>(mu)) finite = false;
      const WorkingPair pr = work.pair(y[i], mu, eta, wpi);
      st.mu[i] = mu;
      st.w[i] = pr.w;
      st.z[i] = pr.z;
      const double e = pr.z - eta;
      rss += pr.w * (e * e);
    }
    if (cross)
      add_cross_block(xb, st.w.data() + r0, st.z.data() + r0,
                      about_eta ? st.eta.data() + r0 : nullptr, gram ? &*gram : nullptr, wv,
                      st.xtwv);
  }
  st.deviance = dev;
  st.rss = rss;
  st.finite = finite;
  if (cross)
    st.xtwx = fixed_gram ? *fixed_gram : gram->result();
  else
    st.xtwx.reset();
}

}  // namespace pirls_detail

template <class Family, class Work>
Result<InnerFit> pirls_run(const FitContext<Family>& ctx, const Family& family, const Work& work,
                           Matrix s_lambda, const std::optional<Vector>& beta0,
                           std::size_t max_iter) {
  using pirls_detail::PirlsState;
  const std::size_t n = ctx.x.rows(), p = ctx.x.cols();
  const MatrixView X = ctx.x.view();
  check_invariant(ctx.y.size() == n, "pirls: y and the model matrix differ in rows");
  check_invariant(s_lambda.rows() == p && s_lambda.cols() == p,
                  "pirls: total penalty is not p x p");
  check_invariant(!beta0 || beta0->size() == p, "pirls: warm start is not of length p");
  check_invariant(!ctx.prior_weights || ctx.prior_weights->size() == n,
                  "pirls: prior weights differ in length from y");
  check_invariant(!ctx.eta_start || ctx.eta_start->size() == n || ctx.eta_start->size() == 1,
                  "pirls: eta_start has neither n entries nor one");
  const double tol = ctx.inner_options.tol;
  const double d_floor = deviance_floor(ctx.moments, work);

  // The start: η from eta_start, from Xβ₀ of a warm start, or g(initial
  // μ(y)); the same pass gives μ, D, the working pair (w, z) and the XᵀWX,
  // XᵀWz of the first solve. β itself starts at zero.
  const double* wp = ctx.prior_weights ? ctx.prior_weights->data() : nullptr;
  const ScratchPool& pool = ctx.scratch;
  PirlsState cur, trial;
  for (PirlsState* st : {&cur, &trial}) {
    st->eta = pool.take(n);
    st->mu = pool.take(n);
    st->w = pool.take(n);
    st->z = pool.take(n);
  }
  const Vector* start_beta = nullptr;
  if (ctx.eta_start) {
    const Vector& es = *ctx.eta_start;
    for (std::size_t i = 0; i < n; ++i) cur.eta[i] = es.size() == 1 ? es[0] : es[i];
  } else if (beta0) {
    start_beta = &*beta0;
  } else {
    const Vector mu0 = family.initial_mu(ctx.y);
    for (std::size_t i = 0; i < n; ++i) cur.eta[i] = work.link(mu0[i]);
  }
  pirls_detail::state_pass(ctx, work, wp, start_beta, cur, max_iter > 0, start_beta != nullptr);
  // Working quantities whose weights do not depend on μ (Work::kWeightsFixed)
  // give the same XᵀWX in every pass: it is formed once.
  std::optional<Matrix> fixed_gram;
  if constexpr (requires { requires Work::kWeightsFixed; })
    if (cur.xtwx) fixed_gram = *cur.xtwx;
  const Matrix* fixed = fixed_gram ? &*fixed_gram : nullptr;
  double d_old = cur.deviance;
  Vector beta(p, 0.0);
  // Under the inverse link β = 0 is η = 0, no mean at all, and halving
  // towards it keeps the sign of every η: the first iteration halves back
  // towards the constant η = 1/ȳ instead (column 0 of X is all ones), a
  // valid mean at the size of the data.
  if constexpr (Family::link == Link::Inverse) {
    if (p > 0 && ctx.moments.mean > 0.0) {
      beta = design_axis(ctx.rotation, 0, p);
      const double level = work.link(ctx.moments.mean);
      for (double& b : beta) b *= level;
    }
  }
  double p_old = d_old;
  std::optional<Matrix> chol;
  double last_rel = std::numeric_limits<double>::infinity();  // of the last accepted step
  // The relative change of D after which the next iteration nearly always
  // ends the loop (D converges about quadratically).
  constexpr double kLikelyLast = 5e-6;
  std::size_t iterations = 0;
  bool converged = false;
  // The lowest accepted P and the accepted iterations since P last fell
  // below it by more than the step allowance (pirls_stalled).
  double p_best = std::numeric_limits<double>::infinity();
  std::size_t without_gain = 0;

  for (std::size_t k = 0; k < max_iter; ++k) {
    // The penalized weighted least-squares solve (XᵀWX + S_λ)β = XᵀWz at
    // the current working weights and responses (cross products from the
    // last pass), taken as the step from the base b whose Xb is the
    // current η (the accepted β; a warm start's β₀ in the first iteration):
    // (XᵀWX + S_λ)δ = XᵀW(z − η) − S_λb, β = b + δ, so that the solve's
    // ridge damps δ alone (inner/pirls.hpp). Without a base (a start from
    // the means or from eta_start) β itself is solved for.
    check_invariant(cur.xtwx.has_value(), "pirls: cross products missing");
    Matrix h = std::move(*cur.xtwx);
    cur.xtwx.reset();
    pirls_detail::add_into(h, s_lambda);
    const Vector* base = k > 0 ? &beta : start_beta;
    if (base) {
      const Vector sb = matvec(s_lambda.view(), *base);
      for (std::size_t j = 0; j < p; ++j) cur.xtwv[j] -= sb[j];
    }
    auto solved = chol_solve_penalized(h, cur.xtwv);
    if (!solved.ok()) {
      QueltError e = std::move(solved).take_error();
      if (e.kind == QueltError::Kind::SingularSystem)
        return QueltError::singular_system("PIRLS factor: " + e.message);
      return e;
    }
    auto [l_new, beta_new] = std::move(solved).value();
    if (base)
      for (std::size_t j = 0; j < p; ++j) beta_new[j] += (*base)[j];

    // The trial β and its penalized deviance P = D + βᵀS_λβ, halved back
    // towards the accepted β while pirls_reject_trial rejects it. A trial's
    // pass also forms the next iteration's cross products, for use when it
    // is accepted and the loop goes on; after a relative change of D below
    // kLikelyLast the pass leaves them out (and they are formed after all if
    // the loop does go on).
    const bool more = k + 1 < max_iter && !(k >= 1 && last_rel < kLikelyLast);
    auto evaluate = [&]() {
      pirls_detail::state_pass(ctx, work, wp, &beta_new, trial, more, true, fixed);
      return trial.deviance + quadratic_form(s_lambda, beta_new);
    };
    double p_new = evaluate();
    const double theta = pirls_step_allowance(p_old, d_floor);
    const bool first = k == 0;
    bool reject = pirls_reject_trial(first, p_old, theta, p_new, trial.finite);
    for (std::size_t halvings = 0; reject && halvings < kPirlsMaxHalvings; ++halvings) {
      for (std::size_t j = 0; j < p; ++j) beta_new[j] = 0.5 * (beta_new[j] + beta[j]);
      p_new = evaluate();
      reject = pirls_reject_trial(first, p_old, theta, p_new, trial.finite);
    }
    if (reject) {  // halving failed: keep the last accepted state
      iterations = k + 1;
      converged = false;
      break;
    }

    // Accept, then test the relative change |D_old − D_new| / (|D_old| + f)
    // of the deviance, f = deviance_floor.
    const double d_new = trial.deviance;
    beta = std::move(beta_new);
    pirls_detail::swap_states(cur, trial);
    chol = std::move(l_new);
    const double rel = std::fabs(d_old - d_new) / (std::fabs(d_old) + d_floor);
    if (k >= 1 && rel < tol) {
      d_old = d_new;
      iterations = k + 1;
      converged = true;
      break;
    }
    d_old = d_new;
    p_old = p_new;
    last_rel = rel;
    iterations = k + 1;
    without_gain = p_new < p_best - theta ? 0 : without_gain + 1;
    p_best = std::fmin(p_best, p_new);
    if (pirls_stalled(without_gain, ctx.inner_options.stall_iters)) {
      converged = true;
      break;
    }
    if (k + 1 < max_iter && !cur.xtwx) pirls_detail::cross_pass(X, cur, fixed);
  }

  // The accepted iteration's factor of XᵀWX + S_λ, or, when no iteration
  // was accepted, that of Xᵀdiag(w_prior)X + S_λ with the relative ridge of
  // the penalized solve (add_relative_ridge).
  if (!chol) {
    const Vector ones = wp ? Vector() : Vector(n, 1.0);
    Matrix h0 = xtwx(X, wp ? wp : ones.data());
    pirls_detail::add_into(h0, s_lambda);
    add_relative_ridge(h0);
    QUELT_TRY(Matrix l0, cholesky(std::move(h0)));
    chol = std::move(l0);
  }

  // The returned state's w, z and Σ w (z − η)² come from its own pass;
  // dW/dη is the analytic derivative of its Fisher weights.
  pool.give(std::move(trial.eta));
  pool.give(std::move(trial.mu));
  pool.give(std::move(trial.w));
  pool.give(std::move(trial.z));
  Vector dw = pool.take(n);
  for (std::size_t i = 0; i < n; ++i) dw[i] = work.dw_deta(cur.mu[i], cur.eta[i], wp ? wp[i] : 1.0);
  InnerFit fit;
  fit.beta = std::move(beta);
  fit.eta = std::move(cur.eta);
  fit.mu = std::move(cur.mu);
  fit.w = std::move(cur.w);
  fit.z = std::move(cur.z);
  fit.chol = std::move(*chol);
  fit.deviance = d_old;
  fit.weighted_rss = cur.rss;
  fit.n = n;
  fit.p = p;
  fit.iterations = iterations;
  fit.dw_deta = std::move(dw);
  fit.x = X;
  fit.xtwx = std::move(cur.xtwx);
  fit.converged = converged;
  return fit;
}

template <class Family>
Result<InnerFit> pirls(const FitContext<Family>& ctx, Matrix s_lambda,
                       const std::optional<Vector>& beta0) {
  return pirls_run(ctx, ctx.family, Working<Family>{ctx.family}, std::move(s_lambda), beta0,
                   ctx.inner_options.max_iter);
}

}  // namespace quelt

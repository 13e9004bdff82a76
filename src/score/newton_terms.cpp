#include "score/newton_terms.hpp"

#include <cmath>

#include "core/blas.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"
#include "inner/working.hpp"
#include "score/row_forms.hpp"

namespace quelt {
namespace {

// A = Xᵀdiag(W)X + S_λ, symmetrised.
Matrix newton_matrix(const FitContext<InverseGaussian>& ctx, std::span<const double> rho,
                     const Vector& w) {
  Matrix a = xtwx(ctx.x.view(), w.data());
  const Matrix s = total_penalty(ctx.penalties, rho, ctx.x.cols());
  for (std::size_t i = 0; i < a.size(); ++i) a.data()[i] += s.data()[i];
  symmetrize_average(a);
  return a;
}

bool usable_eigenvalues(const Vector& ev) {
  for (double e : ev)
    if (!std::isfinite(e) || std::fabs(e) < 1e-300) return false;
  return true;
}

}  // namespace

Vector newton_weights(const FitContext<InverseGaussian>& ctx, const InnerFit& fit) {
  const std::size_t n = fit.mu.size();
  check_invariant(ctx.y.size() >= n && (!ctx.prior_weights || ctx.prior_weights->size() >= n),
                  "newton_weights: response or weights shorter than the means");
  const Working<InverseGaussian> work{ctx.family};
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double wp = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
    w[i] = work.newton_weight(ctx.y[i], fit.mu[i], wp);
  }
  return w;
}

std::optional<double> newton_log_det_h(const FitContext<InverseGaussian>& ctx,
                                       std::span<const double> rho, const InnerFit& fit) {
  const Vector w = newton_weights(ctx, fit);
  if (!all_finite(w)) return std::nullopt;
  Matrix a = newton_matrix(ctx, rho, w);
  auto f = cholesky(a);
  if (f.ok()) {
    const Matrix& l = f.value();
    double acc = 0.0;
    for (std::size_t i = 0; i < l.rows(); ++i) {
      const double d = l(i, i);
      if (!std::isfinite(d) || std::fabs(d) < 1e-300) return std::nullopt;
      acc += std::log(d);
    }
    return 2.0 * acc;
  }
  auto e = sym_eigen(a);
  if (!e.ok() || !usable_eigenvalues(e.value().values)) return std::nullopt;
  double acc = 0.0;
  for (double ev : e.value().values) acc += std::log(std::fabs(ev));
  return acc;
}

std::optional<NewtonGradientTerms> newton_weight_gradient_terms(
    const FitContext<InverseGaussian>& ctx, std::span<const double> rho, const InnerFit& fit) {
  const Vector w = newton_weights(ctx, fit);
  if (!all_finite(w)) return std::nullopt;
  const Matrix a = newton_matrix(ctx, rho, w);
  const std::size_t p = a.rows(), n = w.size(), m = ctx.penalties.size();
  Matrix hinv;
  auto f = cholesky(a);
  if (f.ok()) {
    hinv = inverse_from_cholesky(f.value().view());
  } else {
    auto e = sym_eigen(a);
    if (!e.ok() || !usable_eigenvalues(e.value().values)) return std::nullopt;
    const SymEigen& es = e.value();
    hinv = Matrix(p, p);
    for (std::size_t k = 0; k < p; ++k) {
      const double inv = 1.0 / es.values[k];
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t c = 0; c < p; ++c) hinv(r, c) += inv * es.vectors(r, k) * es.vectors(c, k);
    }
  }

  // dW_i/dη_i of the full-Newton weights.
  const Working<InverseGaussian> work{ctx.family};
  Vector dw(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double wp = ctx.prior_weights ? (*ctx.prior_weights)[i] : 1.0;
    dw[i] = work.newton_weight_deta(ctx.y[i], fit.mu[i], wp);
  }

  const MatrixView x = ctx.x.view();
  const Vector lev = row_quadratic_forms(x, hinv);
  NewtonGradientTerms out{Vector(m, 0.0), Vector(m, 0.0)};
  for (std::size_t j = 0; j < m; ++j) {
    const double lam = std::exp(rho[j]);
    const Matrix& s = ctx.penalties[j];
    out.trace[j] = trace_of_product(hinv, s);
    // dη/dρ_j = X d, d = −λ_j H_N⁻¹S_jβ.
    Vector d = small_matvec(hinv, small_matvec(s, fit.beta));
    for (double& v : d) v = -lam * v;
    const Vector e = matvec(x, d);
    double acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) acc += dw[i] * e[i] * lev[i];
    out.k[j] = acc;
  }
  return out;
}

}  // namespace quelt

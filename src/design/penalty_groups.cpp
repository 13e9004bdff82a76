#include "design/penalty_groups.hpp"

#include <cmath>
#include <string>

#include "core/error.hpp"
#include "core/lapack.hpp"
#include "core/linalg.hpp"
#include "core/numeric.hpp"

namespace quelt {
namespace {

// Indices of the rows (and, by symmetry, columns) where any member penalty
// has a non-zero entry.
std::vector<std::size_t> group_block(const std::vector<Matrix>& penalties,
                                     const std::vector<std::size_t>& members) {
  const std::size_t p = penalties[members[0]].rows();
  std::vector<std::size_t> block;
  for (std::size_t a = 0; a < p; ++a) {
    bool used = false;
    for (std::size_t j : members) {
      const Matrix& s = penalties[j];
      for (std::size_t b = 0; b < p && !used; ++b) used = s(a, b) != 0.0 || s(b, a) != 0.0;
      if (used) break;
    }
    if (used) block.push_back(a);
  }
  return block;
}

// U^T S U restricted to the block, symmetrised: U is q x r (block rows).
Matrix reduce(const Matrix& s, const std::vector<std::size_t>& block, const Matrix& u) {
  const std::size_t q = block.size(), r = u.cols();
  Matrix su(q, r);  // S_block U
  for (std::size_t a = 0; a < q; ++a)
    for (std::size_t c = 0; c < r; ++c) {
      double acc = 0.0;
      for (std::size_t b = 0; b < q; ++b) acc += s(block[a], block[b]) * u(b, c);
      su(a, c) = acc;
    }
  Matrix out(r, r);
  for (std::size_t c = 0; c < r; ++c)
    for (std::size_t d = 0; d < r; ++d) {
      double acc = 0.0;
      for (std::size_t a = 0; a < q; ++a) acc += u(a, c) * su(a, d);
      out(c, d) = acc;
    }
  symmetrize_average(out);
  return out;
}

// log det M and M^{-1} of a symmetric positive definite r x r matrix. When
// the Cholesky factorization fails (extreme ratios of the lambdas), the
// eigendecomposition with eigenvalues floored at a tiny positive value
// stands in.
void logdet_and_inverse(const Matrix& m, double& logdet, Matrix& inv) {
  auto f = cholesky(m);
  if (f.ok()) {
    logdet = log_det_from_cholesky(f.value());
    inv = inverse_from_cholesky(f.value().view());
    return;
  }
  auto e = sym_eigen(m);
  if (!e.ok()) invariant_failed("penalty group eigendecomposition failed");
  const SymEigen& es = e.value();
  const std::size_t r = m.rows();
  double top = 0.0;
  for (double v : es.values) top = floor_at(top, std::fabs(v));
  const double tiny = floor_at(top * 1e-300, 1e-300);
  logdet = 0.0;
  inv = Matrix(r, r);
  for (std::size_t k = 0; k < r; ++k) {
    const double ev = floor_at(es.values[k], tiny);
    logdet += std::log(ev);
    for (std::size_t a = 0; a < r; ++a)
      for (std::size_t b = 0; b < r; ++b) inv(a, b) += es.vectors(a, k) * es.vectors(b, k) / ev;
  }
}

void add_group(const std::vector<Matrix>& penalties, const std::vector<std::size_t>& members,
               std::span<const double> rho, PenaltyLogDet& out) {
  const std::vector<std::size_t> block = group_block(penalties, members);
  const std::size_t q = block.size();
  if (q == 0) return;  // all members zero: nothing to count
  // Range space of the unit-lambda sum.
  Matrix sum(q, q);
  for (std::size_t j : members)
    for (std::size_t a = 0; a < q; ++a)
      for (std::size_t b = 0; b < q; ++b) sum(a, b) += penalties[j](block[a], block[b]);
  auto eig = sym_eigen(sum);
  if (!eig.ok()) invariant_failed("penalty group eigendecomposition failed");
  const SymEigen& es = eig.value();
  double top = 0.0;
  for (double v : es.values) top = floor_at(top, v);
  const double tol = 1e-10 * floor_at(top, 1.0);
  std::vector<std::size_t> keep;
  for (std::size_t k = 0; k < q; ++k)
    if (es.values[k] > tol) keep.push_back(k);
  const std::size_t r = keep.size();
  if (r == 0) return;
  Matrix u(q, r);
  for (std::size_t a = 0; a < q; ++a)
    for (std::size_t c = 0; c < r; ++c) u(a, c) = es.vectors(a, keep[c]);

  const std::size_t g = members.size();
  std::vector<Matrix> red;
  red.reserve(g);
  Matrix mg(r, r);
  std::vector<double> lam(g);
  for (std::size_t t = 0; t < g; ++t) {
    red.push_back(reduce(penalties[members[t]], block, u));
    lam[t] = std::exp(rho[members[t]]);
    for (std::size_t a = 0; a < r; ++a)
      for (std::size_t b = 0; b < r; ++b) mg(a, b) += lam[t] * red[t](a, b);
  }
  double logdet = 0.0;
  Matrix inv;
  logdet_and_inverse(mg, logdet, inv);
  out.value += logdet;
  // A_t = M^{-1} R_t; tr(A_t) and tr(A_t A_u).
  std::vector<Matrix> a(g, Matrix(r, r));
  for (std::size_t t = 0; t < g; ++t)
    for (std::size_t i = 0; i < r; ++i)
      for (std::size_t k = 0; k < r; ++k) {
        double acc = 0.0;
        for (std::size_t l = 0; l < r; ++l) acc += inv(i, l) * red[t](l, k);
        a[t](i, k) = acc;
      }
  for (std::size_t t = 0; t < g; ++t) {
    double tr = 0.0;
    for (std::size_t i = 0; i < r; ++i) tr += a[t](i, i);
    const std::size_t j = members[t];
    out.grad[j] = lam[t] * tr;
    for (std::size_t s = t; s < g; ++s) {
      double tt = 0.0;
      for (std::size_t i = 0; i < r; ++i)
        for (std::size_t k = 0; k < r; ++k) tt += a[t](i, k) * a[s](k, i);
      const std::size_t k = members[s];
      double h = -lam[t] * lam[s] * tt;
      if (s == t) h += lam[t] * tr;
      out.hessian(j, k) = h;
      out.hessian(k, j) = h;
    }
  }
}

}  // namespace

PenaltyLogDet penalty_log_det(const std::vector<Matrix>& penalties,
                              const std::vector<std::size_t>& ranks,
                              std::span<const double> log_pdets,
                              const std::vector<std::vector<std::size_t>>& groups,
                              std::span<const double> rho) {
  const std::size_t m = penalties.size();
  check_invariant(ranks.size() >= m && log_pdets.size() >= m && rho.size() >= m,
                  "penalty_log_det: fewer ranks, log pseudo-determinants or rho entries than "
                  "penalties");
  PenaltyLogDet out;
  out.grad.assign(m, 0.0);
  out.hessian = Matrix(m, m);
  auto single = [&](std::size_t j) {
    const double r = static_cast<double>(ranks[j]);
    out.value += r * rho[j] + log_pdets[j];
    out.grad[j] = r;
  };
  if (groups.empty()) {
    for (std::size_t j = 0; j < m; ++j) single(j);
    return out;
  }
  std::vector<int> seen(m, 0);
  for (const auto& g : groups) {
    check_invariant(!g.empty(), "penalty_log_det: empty penalty group");
    for (std::size_t j : g) {
      check_invariant(j < m, "penalty_log_det: penalty group index out of range");
      check_invariant(seen[j] == 0, "penalty_log_det: penalty in more than one group");
      seen[j] = 1;
    }
  }
  for (std::size_t j = 0; j < m; ++j)
    check_invariant(seen[j] == 1, "penalty_log_det: penalty in no group");
  for (const auto& g : groups) {
    if (g.size() == 1)
      single(g[0]);
    else
      add_group(penalties, g, rho, out);
  }
  return out;
}

}  // namespace quelt

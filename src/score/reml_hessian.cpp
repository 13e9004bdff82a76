#include "score/reml_hessian.hpp"

#include <algorithm>

#include "core/blas.hpp"
#include "core/lanes.hpp"
#include "core/linalg.hpp"
#include "score/row_forms.hpp"

namespace quelt {

namespace {

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

}  // namespace

Matrix reml_hessian(const RemlHessianInputs& in) {
  const std::size_t m = in.penalties.size();
  std::vector<Matrix> a(m);  // H⁻¹S_j
  for (std::size_t j = 0; j < m; ++j) a[j] = gemm(in.h_inv.view(), in.penalties[j].view());
  const std::span<const double> lam = in.lambda, t = in.trace, b = in.bsb;
  const std::span<const double> c = in.dscale_drho;
  const double phi = in.phi;
  const bool weight_terms = in.weight_sums.rows() == m && m > 0;
  Matrix hess(m, m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = j; k < m; ++k) {
      double pjk = -lam[j] * lam[k] * trace_of_product(a[j], a[k]);
      if (j == k) pjk += lam[j] * t[j];
      double ejk = 0.0;
      if (weight_terms) {
        const double s1 = in.weight_sums(j, k), s2 = in.weight_sums(k, j);
        ejk = 0.5 * (-0.5 * lam[k] * s1 - 0.5 * lam[j] * s2);
      }
      double qjk = -2.0 * lam[j] * lam[k] * dot(in.s_beta[j], in.v[k]);
      if (j == k) qjk += lam[j] * b[j];
      double hjk = (0.5 * pjk + ejk) + qjk / (phi + phi);
      if (!c.empty()) hjk -= c[j] * (lam[k] * b[k] / (phi * (phi + phi)));
      if (in.log_det_s_hessian.rows() == m) hjk -= 0.5 * in.log_det_s_hessian(j, k);
      hess(j, k) = hjk;
      hess(k, j) = hjk;
    }
  return hess;
}

Matrix weight_derivative_sums(MatrixView x, std::span<const double> dw_deta, const Matrix& h_inv,
                              const std::vector<Matrix>& penalties, const std::vector<Vector>& v,
                              std::span<const double> lambda) {
  const std::size_t m = penalties.size(), p = x.cols, n = x.rows;
  Matrix wsum(m, m);
  const PenaltyRowFactors f = penalty_row_factors(p, h_inv, penalties);
  const std::size_t rtot = f.sign.size();
  Matrix ext(p, rtot + m);
  for (std::size_t a = 0; a < p; ++a) {
    for (std::size_t r = 0; r < rtot; ++r) ext(a, r) = f.stacked(a, r);
    for (std::size_t j = 0; j < m; ++j) ext(a, rtot + j) = v[j][a];
  }
  // Per block, Zt = extᵀX_bᵀ holds one row per factor column, so the per-row
  // forms are built column by column over contiguous rows; the sums over
  // rows then run in row order.
  Matrix zt, q(m, kRowFormBlock), e(m, kRowFormBlock);
  for (std::size_t r0 = 0; r0 < n; r0 += kRowFormBlock) {
    const std::size_t nr = n - r0 < kRowFormBlock ? n - r0 : kRowFormBlock;
    gemm_into(ext.view().t(), x.row_block(r0, nr).t(), zt);
    std::fill(q.storage().begin(), q.storage().end(), 0.0);
    for (std::size_t r = 0; r < rtot; ++r)
      add_signed_squares(zt.row_ptr(r), f.sign[r], nr, q.row_ptr(f.owner[r]));
    for (std::size_t j = 0; j < m; ++j)
      scale_into(zt.row_ptr(rtot + j), -lambda[j], nr, e.row_ptr(j));
    const double* wdb = dw_deta.data() + r0;
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
  return wsum;
}

}  // namespace quelt

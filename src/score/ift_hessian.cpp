#include "score/ift_hessian.hpp"

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/linalg.hpp"

namespace quelt {

Matrix row_scaled_product(MatrixView x, std::span<const double> w) {
  check_invariant(w.size() >= x.rows, "row_scaled_product: fewer weights than rows");
  return xtwx(x, w.data());
}

Vector neg2_weighted_residual(MatrixView x, std::span<const double> w, std::span<const double> z,
                              std::span<const double> beta) {
  const std::size_t n = x.rows, p = x.cols;
  check_invariant(w.size() >= n && z.size() >= n && beta.size() == p,
                  "neg2_weighted_residual: weights, responses or coefficients too short");
  const Vector eta = matvec(x, Vector(beta.begin(), beta.end()));
  Vector q(n);
  for (std::size_t i = 0; i < n; ++i) q[i] = w[i] * (-2.0) * (z[i] - eta[i]);
  Vector out(p, 0.0);
  add_xt_times(x, q.data(), out.data());
  return out;
}

Matrix hess_ift(const IftHessianInputs& in) {
  const std::size_t m = in.lambda.size();
  const std::size_t p = in.h_inv.rows();
  check_invariant(in.penalties.size() >= m, "hess_ift: fewer penalties than smoothing parameters");
  check_invariant(in.beta.size() == p && in.dev_grad.size() == p && in.xtwx.rows() == p,
                  "hess_ift: inconsistent sizes");
  Matrix out(m, m);
  if (m == 0) return out;
  const Matrix& hi = in.h_inv;
  const Matrix& a = in.xtwx;
  const std::span<const double> lam = in.lambda;

  // b_j = S_jβ, dβ_j = −λ_j H⁻¹b_j, u = S_λβ, M_j = H⁻¹S_j, t_j = tr M_j,
  // e_j = 2A dβ_j.
  std::vector<Vector> b(m), db(m), e(m);
  std::vector<Matrix> mj(m);
  Vector t(m), u(p, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    b[j] = small_matvec(in.penalties[j], in.beta);
    db[j] = small_matvec(hi, b[j]);
    for (double& v : db[j]) v *= -lam[j];
    for (std::size_t i = 0; i < p; ++i) u[i] += lam[j] * b[j][i];
    mj[j] = gemm(hi.view(), in.penalties[j].view());
    double tr = 0.0;
    for (std::size_t i = 0; i < p; ++i) tr += mj[j](i, i);
    t[j] = tr;
    e[j] = small_matvec(a, db[j]);
    for (double& v : e[j]) v += v;
  }

  const double two_s = in.scale + in.scale;
  Vector v(p);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = j; k < m; ++k) {
      // d²β_jk = H⁻¹v, v = −(λ_k S_k dβ_j + λ_j S_j dβ_k) − δ_jk λ_j b_j.
      const Vector skdj = small_matvec(in.penalties[k], db[j]);
      const Vector sjdk = small_matvec(in.penalties[j], db[k]);
      for (std::size_t i = 0; i < p; ++i) {
        v[i] = -(lam[k] * skdj[i] + lam[j] * sjdk[i]);
        if (j == k) v[i] -= lam[j] * b[j][i];
      }
      const Vector d2 = small_matvec(hi, v);
      const double t1 = dot(db[k], e[j]);
      const double t2 = dot(in.dev_grad, d2);
      const double t3 = j == k ? lam[j] * dot(in.beta, b[j]) : 0.0;
      const double t4 = (lam[j] + lam[j]) * dot(db[k], b[j]);
      const double t5 = (lam[k] + lam[k]) * dot(db[j], b[k]);
      const Vector adj = small_matvec(a, db[j]);
      double q = 0.0;
      for (std::size_t i = 0; i < p; ++i) q += db[k][i] * (-lam[j] * b[j][i]);
      q -= dot(db[k], adj);
      const double t6 = q + q;
      const double t7 = 2.0 * dot(u, d2);
      const double nn = (((((t1 + t2) + t3) + t4) + t5) + t6) + t7;
      double c = 0.0;
      for (std::size_t r = 0; r < p; ++r)
        for (std::size_t s = 0; s < p; ++s) c += mj[j](r, s) * mj[k](s, r);
      if (j == k) {
        out(j, j) = nn / two_s + 0.5 * (lam[j] * t[j] - (lam[j] * lam[j]) * c);
      } else {
        const double h = nn / two_s + (-0.5) * ((lam[k] * lam[j]) * c);
        out(j, k) = h;
        out(k, j) = h;
      }
    }
  return out;
}

}  // namespace quelt

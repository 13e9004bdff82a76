#include "fit/edf_vcov.hpp"

#include <cmath>
#include <limits>

#include "core/blas.hpp"
#include "core/error.hpp"
#include "core/linalg.hpp"

namespace quelt {

double compute_edf_total(MatrixView x, std::span<const double> w, const Matrix& chol) {
  const std::size_t p = chol.rows();
  if (p == 0) return 0.0;
  check_invariant(w.size() >= x.rows, "compute_edf_total: fewer weights than rows");
  check_invariant(x.cols == p, "compute_edf_total: model matrix and factor disagree");
  return edf_total_from_gram(xtwx(x, w.data()), chol);
}

double edf_total_from_gram(const Matrix& a, const Matrix& chol) {
  const std::size_t p = chol.rows();
  if (p == 0) return 0.0;
  check_invariant(a.rows() == p && a.cols() == p,
                  "edf_total_from_gram: cross product and factor disagree");
  const Matrix hinv = inverse_from_cholesky(chol.view());
  return frobenius_dot(hinv, a);
}

Vector compute_edf_per_term(const std::vector<Matrix>& penalties, std::span<const double> rho,
                            std::size_t p, const Matrix& chol,
                            std::span<const std::size_t> widths) {
  const std::size_t m = penalties.size();
  check_invariant(widths.empty() || widths.size() == m,
                  "compute_edf_per_term: one width per penalty");
  check_invariant(rho.size() >= m,
                  "compute_edf_per_term: fewer smoothing parameters than penalties");
  Vector edf(m);
  if (m == 0) return edf;
  check_invariant(chol.rows() == p, "compute_edf_per_term: factor is not p x p");
  const Matrix hinv = p > 0 ? inverse_from_cholesky(chol.view()) : Matrix();
  for (std::size_t j = 0; j < m; ++j) {
    const Matrix& S = penalties[j];
    check_invariant(S.rows() >= p && S.cols() >= p,
                    "compute_edf_per_term: penalty smaller than p x p");
    const double lambda = std::exp(rho[j]);
    std::size_t c = 0;
    for (std::size_t i = 0; i < p; ++i) {
      const double* row = S.row_ptr(i);
      for (std::size_t k = 0; k < p; ++k)
        if (row[k] != 0.0) {
          ++c;
          break;
        }
    }
    if (!widths.empty()) c = widths[j];
    const double t = p > 0 ? frobenius_dot(hinv, S) : 0.0;
    edf[j] = static_cast<double>(c) - lambda * t;
  }
  return edf;
}

Matrix compute_vcov(const Matrix& chol, double scale) {
  Matrix v = inverse_from_cholesky(chol.view());
  if (std::isnan(scale)) {
    for (double& e : v.storage()) e = std::numeric_limits<double>::quiet_NaN();
    return v;
  }
  if (scale - 1.0 == 0.0) return v;
  for (double& e : v.storage()) e *= scale;
  return v;
}

Vector exp_array(std::span<const double> v) {
  Vector out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = std::exp(v[i]);
  return out;
}

}  // namespace quelt

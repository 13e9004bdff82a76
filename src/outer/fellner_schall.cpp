#include "outer/fellner_schall.hpp"

#include "core/numeric.hpp"
#include "outer/newton.hpp"

namespace quelt {

double fellner_schall_update(double rho, double dlogdet_drho, double trace, double bsb,
                             double scale) {
  if (!(std::isfinite(scale) && scale > 0.0)) scale = 1.0;
  const double lambda = std::exp(rho);
  const double a = floor_at(dlogdet_drho / floor_at(lambda, 1e-20) - trace, 1e-10);
  const double u = std::log(scale * a / floor_at(bsb, 1e-10));
  const double step = std::fmin(std::fmax(u, -3.0), 3.0);
  return clamp_into(rho + step, kFsRhoLo, kFsRhoHi);
}

double trace_of_product(const Matrix& A, const Matrix& B) {
  const std::size_t p = A.rows();
  check_invariant(A.cols() == p && B.rows() >= p && B.cols() >= p,
                  "trace_of_product: matrices smaller than p x p");
  double s = 0.0;
  for (std::size_t i = 0; i < p; ++i) {
    const double* a = A.row_ptr(i);
    const double* b = B.row_ptr(i);
    for (std::size_t j = 0; j < p; ++j) s += a[j] * b[j];
  }
  return s;
}

double quadratic_form(const Matrix& S, const Vector& beta) {
  const std::size_t p = beta.size();
  check_invariant(S.rows() >= p && S.cols() >= p, "quadratic_form: matrix smaller than p x p");
  double s = 0.0;
  for (std::size_t i = 0; i < p; ++i) {
    const double* r = S.row_ptr(i);
    double u = 0.0;
    for (std::size_t j = 0; j < p; ++j) u += r[j] * beta[j];
    s += beta[i] * u;
  }
  return s;
}

}  // namespace quelt

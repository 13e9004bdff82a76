// What a score over ρ returns where its analytic form does not hold: the
// fixed record of an inadmissible point, and the Hessian from differences of
// the gradient.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/error.hpp"
#include "core/linalg.hpp"
#include "core/matrix.hpp"
#include "score/score_record.hpp"

namespace quelt {

// Step in ρ of the difference Hessian: central differences of the gradient
// carry a truncation error of order h² = 1e-10 and a rounding error of order
// ε/h ≈ 2e-11, both small against what the Newton step needs.
inline constexpr double kDifferenceStep = 1e-5;

// The record of a point where the scale cannot be estimated: score
// kInadmissibleScore, m zero gradient entries, b_j and t_j zero, the given
// λ, no dscale_drho, 0 x 0 H⁻¹ and log-determinant Hessian, scale 1.
EnvelopeScore inadmissible_record(std::size_t m, Vector lambda);

// The symmetrised central differences (step kDifferenceStep) of
// `gradient_at`, which maps ρ (a Vector of rho.size() entries) to
// Result<pair<score, gradient>> with at least rho.size() gradient entries;
// column j holds (g(ρ + h e_j) − g(ρ − h e_j))/(2h). The first error is
// returned unchanged.
template <class GradientAt>
Result<Matrix> difference_hessian(std::span<const double> rho, GradientAt&& gradient_at) {
  const std::size_t m = rho.size();
  Matrix h(m, m);
  for (std::size_t j = 0; j < m; ++j) {
    Vector rp(rho.begin(), rho.end()), rm(rho.begin(), rho.end());
    rp[j] = rho[j] + kDifferenceStep;
    rm[j] = rho[j] + (-kDifferenceStep);
    QUELT_TRY(auto plus, gradient_at(static_cast<const Vector&>(rp)));
    QUELT_TRY(auto minus, gradient_at(static_cast<const Vector&>(rm)));
    check_invariant(plus.second.size() >= m && minus.second.size() >= m,
                    "difference Hessian: gradient shorter than rho");
    for (std::size_t i = 0; i < m; ++i)
      h(i, j) = (plus.second[i] - minus.second[i]) / (kDifferenceStep + kDifferenceStep);
  }
  symmetrize_average(h);
  return h;
}

}  // namespace quelt

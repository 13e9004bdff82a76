// The record every inner fit returns.
#pragma once

#include <cstddef>
#include <optional>

#include "core/matrix.hpp"

namespace quelt {

// Result of one inner fit at fixed smoothing (and shape) parameters. All
// arrays are owned except `x`, which views the model matrix of the context
// the fit was made from: the record must not outlive that context when `x`
// is read.
struct InnerFit {
  Vector beta;  // p coefficients of the returned iterate
  Vector eta;   // n: Xβ once an iteration was accepted, else the start
  Vector mu;    // n: μ = g⁻¹(η)
  Vector w;     // n working weights at the returned μ
  Vector z;     // n working responses at the returned μ
  // Lower Cholesky factor L of H = XᵀWX + S_λ (row-major,
  // contiguous, zeros above the diagonal); log|H| = 2·Σ_i ln L_ii.
  Matrix chol;
  double deviance = 0.0;  // family deviance of the returned μ (no penalty)
  // Σ_i w_i (z_i − η_i)² with this record's w and z; the closed-form
  // Gaussian fit stores its weighted residual sum of squares here.
  double weighted_rss = 0.0;
  std::size_t n = 0;
  std::size_t p = 0;
  std::size_t iterations = 0;
  // dW/dη of the Fisher working weight per observation; present from PIRLS.
  std::optional<Vector> dw_deta;
  // The model matrix (a view of the context's); present from PIRLS.
  std::optional<MatrixView> x;
  // Xᵀdiag(w)X at this record's w, when the fit formed it on its way
  // (equal to xtwx(x, w) to the bit); absent otherwise.
  std::optional<Matrix> xtwx;
  // True only when the fit's convergence test ended it.
  bool converged = false;
};

}  // namespace quelt

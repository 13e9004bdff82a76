#include "fit/design_rank.hpp"

#include <cmath>
#include <utility>

#include "core/blas.hpp"
#include "core/linalg.hpp"
#include "inner/coefficient_rotation.hpp"

namespace quelt {

namespace {

// H₀ = G + Σ_j c_j S_j with c_j = Σ_{k∈B_j} G_kk / tr S_j (G and the S_j in
// one basis).
Matrix balanced_penalized_gram(Matrix g, const std::vector<Matrix>& penalties) {
  const std::size_t p = g.rows();
  Matrix h = g;
  for (const Matrix& s : penalties) {
    double info = 0.0, trace = 0.0;
    for (std::size_t k = 0; k < p; ++k)
      if (s(k, k) != 0.0) {
        info += g(k, k);
        trace += s(k, k);
      }
    double c = info / trace;
    if (!(c > 0.0 && std::isfinite(c))) c = 1.0;
    for (std::size_t k = 0; k < h.size(); ++k) h.data()[k] += c * s.data()[k];
  }
  symmetrize_average(h);
  return h;
}

}  // namespace

Status check_design_rank(MatrixView x, const std::optional<Vector>& w,
                         const std::vector<Matrix>& penalties,
                         const std::vector<std::vector<std::size_t>>& groups, bool in_eigenbasis) {
  // D: 1 on the rows that count, 0 elsewhere.
  Vector d;
  if (w) {
    d = Vector(w->size(), 0.0);
    for (std::size_t i = 0; i < w->size(); ++i) d[i] = (*w)[i] > 0.0 ? 1.0 : 0.0;
  }
  Matrix g = xtwx(x, w ? d.data() : nullptr);
  Matrix h;
  if (in_eigenbasis) {
    h = balanced_penalized_gram(std::move(g), penalties);
  } else {
    std::vector<Matrix> rotated = penalties;
    const CoefficientRotation r = rotate_penalties(rotated, groups);
    rotate_gram(g, r);
    h = balanced_penalized_gram(std::move(g), rotated);
  }
  auto l = cholesky(h);
  Status pivots = l.ok() ? check_relative_pivots(h, l.value(), kDesignRankPivot)
                         : Status(std::move(l).take_error());
  if (pivots.ok()) return pivots;
  return QueltError::singular_system(
      "the penalized system of the design is singular whatever y holds (XᵀX + S at unit "
      "weights): " +
      std::move(pivots).take_error().message);
}

QueltError unless_design_singular(const Status& design, QueltError refusal) {
  return design.ok() ? std::move(refusal) : design.error();
}

}  // namespace quelt

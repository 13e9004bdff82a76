#include "design/re.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "design/model_design.hpp"

namespace quelt {

namespace {

// -0.0 and 0.0 are one level: both are read as +0.0.
double canonical_level(double v) { return v == 0.0 ? 0.0 : v; }

}  // namespace

Result<std::vector<double>> re_levels(MatrixView x, std::size_t j) {
  check_invariant(j < x.cols, "random-effect term: column index out of range");
  QUELT_CHECK_OK(check_finite_column(x, j));
  const MatrixView col = column_view(x, j);
  std::vector<double> levels(col.rows);
  for (std::size_t i = 0; i < col.rows; ++i) levels[i] = canonical_level(col(i, 0));
  // Finite values only (checked above), so `<` is a strict weak ordering.
  std::sort(levels.begin(), levels.end());
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
  if (levels.empty()) return QueltError::invalid_parameter("Re basis: x is empty");
  levels.shrink_to_fit();
  return levels;
}

Result<ReTerm> build_re_term(MatrixView x, std::size_t j) {
  QUELT_TRY(std::vector<double> levels, re_levels(x, j));
  Matrix basis = re_indicator_matrix(levels, column_view(x, j));
  return ReTerm{std::move(levels), std::move(basis)};
}

Matrix re_indicator_matrix(const std::vector<double>& levels, MatrixView x) {
  const std::size_t n = x.rows;
  check_invariant(n == 0 || x.cols >= 1, "re_indicator_matrix: covariate view without columns");
  Matrix out(n, levels.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double v = canonical_level(x(i, 0));
    if (std::isnan(v)) continue;
    auto it = std::lower_bound(levels.begin(), levels.end(), v);
    if (it != levels.end() && *it == v) out(i, static_cast<std::size_t>(it - levels.begin())) = 1.0;
  }
  return out;
}

Result<ModelDesign> build_re_design(MatrixView x) {
  QUELT_CHECK_OK(check_has_columns(x));
  QUELT_TRY(std::vector<double> levels, re_levels(x, 0));
  const std::size_t ell = levels.size();
  check_design_fits_in_memory(x.rows, static_cast<double>(ell) + 1.0, 1);
  Matrix basis = re_indicator_matrix(levels, column_view(x, 0));
  ReTerm term{std::move(levels), std::move(basis)};
  // The term's own penalty is the L x L identity, placed directly into the
  // padded p x p matrix.
  Matrix pen(ell + 1, ell + 1);
  for (std::size_t i = 1; i <= ell; ++i) pen(i, i) = 1.0;
  return assemble_single_smooth_design(TermPredictor(RePredictor{std::move(term.levels)}),
                                       term.basis, std::move(pen));
}

}  // namespace quelt

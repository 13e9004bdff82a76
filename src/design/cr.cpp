#include "design/cr.hpp"

#include <utility>

#include "basis/cr.hpp"
#include "core/blas.hpp"
#include "core/numeric.hpp"
#include "design/model_design.hpp"
#include "transform/constraint.hpp"
#include "transform/stable_reparam.hpp"

namespace quelt {

namespace {

// Rows per block when the basis is evaluated piecewise: the n x k basis B
// and its product with Z are never held whole.
constexpr std::size_t kBasisBlock = 8192;

// Knots, scaled penalty S̃ (k x k) and the sum-to-zero null space Z
// (k x (k-1)) of the term of column j.
struct CrPieces {
  MatrixView col;
  Vector knots;
  Matrix s_scaled;
  Matrix z;
};

Result<CrPieces> cr_pieces(MatrixView x, std::size_t j, std::size_t k) {
  check_invariant(j < x.cols, "cubic regression term: column index out of range");
  QUELT_CHECK_OK(check_finite_column(x, j));
  const MatrixView col = column_view(x, j);
  QUELT_TRY(Vector knots, place_column_knots(x, j, k));
  // Column sums of B (each summed over the rows in order) and ‖B‖∞, block
  // by block.
  const std::size_t n = col.rows, kk = knots.size();
  Vector c(kk, 0.0);
  double bn = 0.0;
  for (std::size_t r0 = 0; r0 < n; r0 += kBasisBlock) {
    const std::size_t nb = n - r0 < kBasisBlock ? n - r0 : kBasisBlock;
    const Matrix b = cr_basis(knots, col.row_block(r0, nb));
    for (std::size_t i = 0; i < nb; ++i) {
      const double* row = b.row_ptr(i);
      for (std::size_t q = 0; q < kk; ++q) c[q] += row[q];
    }
    bn = floor_at(max_abs_row_sum(b.view()), bn);
  }
  // The penalty in units of the knot range: the scaling to the basis below
  // removes its overall size, and its entries stay finite for any finite x.
  Matrix s = cr_penalty_range_units(knots);
  const double scale = penalty_scale_for_norm(bn, s.view());
  for (double& v : s.storage()) v = scale * v;
  // Every row of B sums to 1, so the column sums total n; B·Z then has
  // columns summing to zero over the data.
  Matrix z = constraint_null_space(c);
  return CrPieces{col, std::move(knots), std::move(s), std::move(z)};
}

// (B·Z)·U (or B·Z without u) by row blocks, behind an intercept column of
// ones when `intercept` is set; every entry equals that of the whole-matrix
// plain-loop products.
Matrix cr_rows_times(const CrPieces& pc, const Matrix* u, bool intercept) {
  const std::size_t n = pc.col.rows;
  const std::size_t q = u ? u->cols() : pc.z.cols();
  const std::size_t off = intercept ? 1 : 0;
  Matrix out(n, q + off);
  for (std::size_t r0 = 0; r0 < n; r0 += kBasisBlock) {
    const std::size_t nb = n - r0 < kBasisBlock ? n - r0 : kBasisBlock;
    const Matrix b = cr_basis(pc.knots, pc.col.row_block(r0, nb));
    Matrix bz = matmul(b.view(), pc.z.view());
    if (u) bz = matmul(bz.view(), u->view());
    for (std::size_t i = 0; i < nb; ++i) {
      double* dst = out.row_ptr(r0 + i);
      if (intercept) dst[0] = 1.0;
      const double* src = bz.row_ptr(i);
      for (std::size_t j = 0; j < q; ++j) dst[off + j] = src[j];
    }
  }
  return out;
}

Matrix constrained_penalty(const CrPieces& pc) {
  return matmul(matmul(pc.z.view().t(), pc.s_scaled.view()).view(), pc.z.view());
}

}  // namespace

Result<CrTerm> build_cr_term(MatrixView x, std::size_t j, std::size_t k) {
  QUELT_TRY(CrPieces pc, cr_pieces(x, j, k));
  Matrix basis = cr_rows_times(pc, nullptr, false);
  Matrix penalty = constrained_penalty(pc);
  return CrTerm{std::move(basis), std::move(penalty),
                CrPredictor{std::move(pc.knots), std::move(pc.z)}};
}

Result<CrStableTerm> build_cr_stable_term(MatrixView x, std::size_t j, std::size_t k) {
  QUELT_TRY(CrPieces pc, cr_pieces(x, j, k));
  Matrix inner = constrained_penalty(pc);
  const std::size_t m = pc.z.cols();
  QUELT_TRY(StableReparam rep, make_stable_reparam(inner, m));
  Matrix basis = cr_rows_times(pc, &rep.u, false);
  Matrix penalty = matmul(matmul(rep.u.view().t(), inner.view()).view(), rep.u.view());
  return CrStableTerm{std::move(basis), std::move(penalty),
                      CrStablePredictor{std::move(pc.knots), std::move(pc.z), std::move(rep.u)}};
}

// The single-smooth designs write the model matrix [1 | basis] directly.
Result<ModelDesign> build_cr_design(MatrixView x, std::size_t k) {
  QUELT_CHECK_OK(check_has_columns(x));
  check_design_fits_in_memory(x.rows, static_cast<double>(k), 1);
  QUELT_TRY(CrPieces pc, cr_pieces(x, 0, k));
  Matrix xm = cr_rows_times(pc, nullptr, true);
  Matrix pen = pad_penalty(constrained_penalty(pc), 1, xm.cols());
  return assemble_single_smooth_design_from_x(
      TermPredictor(CrPredictor{std::move(pc.knots), std::move(pc.z)}), std::move(xm),
      std::move(pen));
}

Result<ModelDesign> build_cr_stable_design(MatrixView x, std::size_t k) {
  QUELT_CHECK_OK(check_has_columns(x));
  check_design_fits_in_memory(x.rows, static_cast<double>(k), 1);
  QUELT_TRY(CrPieces pc, cr_pieces(x, 0, k));
  Matrix inner = constrained_penalty(pc);
  const std::size_t m = pc.z.cols();
  QUELT_TRY(StableReparam rep, make_stable_reparam(inner, m));
  Matrix xm = cr_rows_times(pc, &rep.u, true);
  Matrix penalty = matmul(matmul(rep.u.view().t(), inner.view()).view(), rep.u.view());
  Matrix pen = pad_penalty(penalty, 1, xm.cols());
  return assemble_single_smooth_design_from_x(
      TermPredictor(CrStablePredictor{std::move(pc.knots), std::move(pc.z), std::move(rep.u)}),
      std::move(xm), std::move(pen));
}

}  // namespace quelt

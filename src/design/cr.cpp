#include "design/cr.hpp"

#include <utility>

#include "basis/cr.hpp"
#include "core/blas.hpp"
#include "design/model_design.hpp"
#include "transform/constraint.hpp"
#include "transform/stable_reparam.hpp"

namespace quelt {

namespace {

// Knots, unconstrained basis B (n x k), scaled penalty S̃ (k x k) and the
// sum-to-zero null space Z (k x (k-1)) of the term of column j.
struct CrPieces {
  Vector knots;
  Matrix b;
  Matrix s_scaled;
  Matrix z;
};

Result<CrPieces> cr_pieces(MatrixView x, std::size_t j, std::size_t k) {
  check_invariant(j < x.cols, "cubic regression term: column index out of range");
  QUELT_CHECK_OK(check_finite_column(x, j));
  const MatrixView col = column_view(x, j);
  QUELT_TRY(Vector knots, place_cr_knots(col, k));
  Matrix b = cr_basis(knots, col);
  Matrix s = std::move(cr_penalty(knots).front());
  const double scale = penalty_scale_to_basis(b.view(), s.view());
  for (double& v : s.storage()) v = scale * v;
  // Every row of B sums to 1, so the column sums total n; B·Z then has
  // columns summing to zero over the data.
  const Vector c = column_sums(b.view());
  Matrix z = constraint_null_space(c);
  return CrPieces{std::move(knots), std::move(b), std::move(s), std::move(z)};
}

}  // namespace

Result<CrTerm> build_cr_term(MatrixView x, std::size_t j, std::size_t k) {
  QUELT_TRY(CrPieces pc, cr_pieces(x, j, k));
  Matrix basis = matmul(pc.b.view(), pc.z.view());
  Matrix penalty = matmul(matmul(pc.z.view().t(), pc.s_scaled.view()).view(), pc.z.view());
  return CrTerm{std::move(basis), std::move(penalty),
                CrPredictor{std::move(pc.knots), std::move(pc.z)}};
}

Result<CrStableTerm> build_cr_stable_term(MatrixView x, std::size_t j, std::size_t k) {
  QUELT_TRY(CrPieces pc, cr_pieces(x, j, k));
  Matrix inner = matmul(matmul(pc.z.view().t(), pc.s_scaled.view()).view(), pc.z.view());
  const std::size_t m = pc.z.cols();
  QUELT_TRY(StableReparam rep, make_stable_reparam(inner, m));
  Matrix basis = matmul(matmul(pc.b.view(), pc.z.view()).view(), rep.u.view());
  Matrix penalty = matmul(matmul(rep.u.view().t(), inner.view()).view(), rep.u.view());
  return CrStableTerm{std::move(basis), std::move(penalty),
                      CrStablePredictor{std::move(pc.knots), std::move(pc.z), std::move(rep.u)}};
}

Result<ModelDesign> build_cr_design(MatrixView x, std::size_t k) {
  QUELT_CHECK_OK(check_has_columns(x));
  QUELT_TRY(CrTerm term, build_cr_term(x, 0, k));
  const std::size_t p = term.basis.cols() + 1;
  Matrix pen = pad_penalty(term.penalty, 1, p);
  return assemble_single_smooth_design(TermPredictor(std::move(term.predictor)), term.basis,
                                       std::move(pen));
}

Result<ModelDesign> build_cr_stable_design(MatrixView x, std::size_t k) {
  QUELT_CHECK_OK(check_has_columns(x));
  QUELT_TRY(CrStableTerm term, build_cr_stable_term(x, 0, k));
  const std::size_t p = term.basis.cols() + 1;
  Matrix pen = pad_penalty(term.penalty, 1, p);
  return assemble_single_smooth_design(TermPredictor(std::move(term.predictor)), term.basis,
                                       std::move(pen));
}

}  // namespace quelt

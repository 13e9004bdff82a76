#include "design/predictor.hpp"

#include <cmath>
#include <string>

#include "basis/cr.hpp"
#include "core/blas.hpp"
#include "core/format.hpp"
#include "design/additive.hpp"
#include "design/model_design.hpp"
#include "design/re.hpp"
#include "design/tensor.hpp"
#include "design/tps.hpp"

namespace quelt {

namespace {

std::string shape(const Matrix& m) { return fmt_uint(m.rows()) + "x" + fmt_uint(m.cols()); }

// Stored knots must form a valid knot vector and the constraint must map the
// k basis columns. A model built by this system always passes; a damaged or
// foreign stored model gets a clear error instead of an out-of-bounds read.
Status check_cr_record(const char* what, const Vector& knots, const Matrix& constraint) {
  QUELT_CHECK_OK(validate_cr_knots(knots));
  if (constraint.rows() != knots.size()) {
    return QueltError::invalid_parameter(std::string("stored ") + what + " predictor has a " +
                                         shape(constraint) + " constraint for " +
                                         fmt_uint(knots.size()) + " knots");
  }
  return ok_status();
}

Result<Matrix> evaluate_cr(const CrPredictor& pr, MatrixView x) {
  QUELT_CHECK_OK(check_cr_record("Cr", pr.knots, pr.constraint));
  QUELT_CHECK_OK(check_has_columns(x));
  const Matrix b = cr_basis(pr.knots, x);
  return prepend_intercept_column(matmul(b.view(), pr.constraint.view()).view());
}

Result<Matrix> evaluate_cr_stable(const CrStablePredictor& pr, MatrixView x) {
  QUELT_CHECK_OK(check_cr_record("CrStable", pr.knots, pr.constraint));
  if (pr.reparam.rows() != pr.constraint.cols()) {
    return QueltError::invalid_parameter("stored CrStable predictor has a " + shape(pr.reparam) +
                                         " reparam for a " + shape(pr.constraint) + " constraint");
  }
  QUELT_CHECK_OK(check_has_columns(x));
  const Matrix b = cr_basis(pr.knots, x);
  const Matrix bz = matmul(b.view(), pr.constraint.view());
  return prepend_intercept_column(matmul(bz.view(), pr.reparam.view()).view());
}

Result<Matrix> evaluate_re(const RePredictor& pr, MatrixView x) {
  // The lookup is a binary search: the levels must be finite and strictly
  // increasing (which also excludes a second zero level).
  for (std::size_t i = 0; i < pr.levels.size(); ++i) {
    const bool ok = std::isfinite(pr.levels[i]) && (i == 0 || pr.levels[i] > pr.levels[i - 1]);
    if (!ok) {
      return QueltError::invalid_parameter(
          "stored Re predictor levels must be finite and strictly increasing");
    }
  }
  QUELT_CHECK_OK(check_has_columns(x));
  return prepend_intercept_column(re_indicator_matrix(pr.levels, x).view());
}

}  // namespace

Result<Matrix> predictor_evaluate(const TermPredictor& predictor, MatrixView x) {
  switch (predictor.index()) {
    case TermPredictor::kCr:
      return evaluate_cr(std::get<TermPredictor::kCr>(predictor.value), x);
    case TermPredictor::kRe:
      return evaluate_re(std::get<TermPredictor::kRe>(predictor.value), x);
    case TermPredictor::kCrStable:
      return evaluate_cr_stable(std::get<TermPredictor::kCrStable>(predictor.value), x);
    case TermPredictor::kAdditive:
      return evaluate_additive_predictor(std::get<TermPredictor::kAdditive>(predictor.value), x);
    case TermPredictor::kTensor:
      return evaluate_tensor_predictor(std::get<TermPredictor::kTensor>(predictor.value), x);
    case TermPredictor::kTensorMulti:
      return evaluate_tensor_multi_predictor(std::get<TermPredictor::kTensorMulti>(predictor.value),
                                             x);
    case TermPredictor::kTps:
      return evaluate_tps_predictor(std::get<TermPredictor::kTps>(predictor.value), x);
    default:
      invariant_failed("predictor_evaluate: valueless predictor");
  }
}

}  // namespace quelt

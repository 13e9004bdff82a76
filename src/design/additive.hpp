// The design of an additive model: the model matrix [1 | C_1 | … | C_T] of a
// list of terms, one full-size penalty per smoothing parameter, the penalty
// groups, the null-space dimension and the Additive predictor that rebuilds
// the same model matrix on new covariates.
#pragma once

#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "design/predictor.hpp"
#include "design/terms.hpp"

namespace quelt {

// The input columns a term reads, in the order they are checked: [col] for
// the univariate terms, [col_a, col_b] for "te", cols otherwise.
std::vector<std::size_t> term_columns(const TermSpec& term);

// Builds the terms in order and lays them out side by side after the
// intercept column. Every penalty of a tensor term ("te", "te_multi", "ti")
// acts on the same coefficient block, and those penalties form one penalty
// group; every other term's penalty is a group of its own. null_space_dim is
// p minus the numerical rank of the sum of all penalties.
// Errors (InvalidParameter unless the term builder says otherwise):
// "Additive: terms list must be non-empty"; "Additive term {} reads column {}
// but x has only {} columns" (checked for every term before any is built);
// "Additive term {j} ({basis} of column(s) {…}) repeats term {i} (…): the same
// basis on the same columns cannot be told apart from it; drop one of them"
// for a term of the same kind as an earlier one on the same set of columns
// ("cr" and "cr_stable" one kind, "te" and "te_multi" another; checked next,
// still before any term is built); the first term builder's
// error, unchanged.
Result<ModelDesign> build_additive_design(std::span<const TermSpec> terms, MatrixView x);

// [1 | block_1 | … | block_T] on new covariates: block i is the evaluation of
// term i without its intercept column. Tensor and thin-plate terms see x
// itself, the other terms the first column listed for them in term_cols.
// Errors: "AdditivePredictor: term {} expects column {} but x has only {}
// columns"; a stored record whose lists do not fit together; the terms' own
// errors.
Result<Matrix> evaluate_additive_predictor(const AdditivePredictor& p, MatrixView x);

}  // namespace quelt

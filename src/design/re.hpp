// Random-effect terms: one indicator column per distinct level of a
// covariate column.
#pragma once

#include <cstddef>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

struct ReTerm {
  std::vector<double> levels;  // sorted distinct levels, L entries (-0.0 stored as 0.0)
  Matrix basis;                // n x L indicator matrix
};

// The sorted distinct levels of column j of x (j < x.cols, invariant), with
// the errors of build_re_term.
Result<std::vector<double>> re_levels(MatrixView x, std::size_t j);

// The random-effect term of column j of x (j < x.cols, invariant). 0.0 and
// -0.0 are one level. Errors (InvalidParameter): a non-finite value in column
// j; "Re basis: x is empty" for a column without rows.
Result<ReTerm> build_re_term(MatrixView x, std::size_t j);

// n x L matrix with entry (i, p) = 1.0 when column 0 of x in row i equals
// levels[p] (with -0.0 read as 0.0), else 0.0. A value matching no level,
// NaN included, gives a zero row. levels must be sorted and distinct.
Matrix re_indicator_matrix(const std::vector<double>& levels, MatrixView x);

}  // namespace quelt

// Sum-to-zero identifiability constraint of a smooth term: the column sums of
// its basis and an orthonormal basis Z of their null space, so that B·Z has
// columns that sum to zero over the data.
#pragma once

#include <span>

#include "core/matrix.hpp"

namespace quelt {

// The column sums of a (its q sums over the rows), accumulated in row order.
Vector column_sums(MatrixView a);

// Z (k x (k-1), orthonormal columns, cᵀ·Z = 0 up to rounding) for the
// constraint vector c of length k >= 1: columns 1..k-1 of the Householder
// reflector I - 2·u·uᵀ/(uᵀu) with u = c + sign(c_0)·‖c‖·e_0 (c_0 = -0.0 counts
// as non-negative). When ‖c‖ is below machine epsilon, Z = [I_{k-1}; 0].
Matrix constraint_null_space(std::span<const double> c);

}  // namespace quelt

// Cubic regression smooth terms of one covariate column: the plain term
// (sum-to-zero constrained basis B·Z and penalty Zᵀ·S̃·Z) and the stable term
// (the same, rotated into the eigenbasis of the constrained penalty).
#pragma once

#include <cstddef>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/predictor.hpp"

namespace quelt {

struct CrTerm {
  Matrix basis;           // n x (k-1): B·Z
  Matrix penalty;         // (k-1) x (k-1): (Zᵀ·S̃)·Z, not symmetrised
  CrPredictor predictor;  // knots and Z
};

struct CrStableTerm {
  Matrix basis;                 // n x (k-1): (B·Z)·U
  Matrix penalty;               // (k-1) x (k-1): (Uᵀ·P)·U with P = (Zᵀ·S̃)·Z
  CrStablePredictor predictor;  // knots, Z and U
};

// The cubic regression term of column j of x with k knots. S̃ is the penalty
// scaled to the basis by ‖B‖∞²/‖S‖∞. j must be < x.cols (invariant).
// Errors (InvalidParameter): a non-finite value in column j; the knot
// placement's errors.
Result<CrTerm> build_cr_term(MatrixView x, std::size_t j, std::size_t k);

// As build_cr_term, then rotated by the eigenvectors of (Zᵀ·S̃)·Z in order of
// decreasing eigenvalue. Further error: Linalg from the eigensolver.
Result<CrStableTerm> build_cr_stable_term(MatrixView x, std::size_t j, std::size_t k);

}  // namespace quelt

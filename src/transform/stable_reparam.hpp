// Rotation of a smooth term into the eigenbasis of its constrained penalty.
#pragma once

#include <cstddef>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

// U (m x m, orthogonal): column c is the eigenvector of the penalty belonging
// to its (c+1)-th largest eigenvalue. Every eigenvector is kept (zero and
// negative eigenvalues too), with the eigensolver's signs; equal eigenvalues
// keep the reverse of the solver's ascending order. Uᵀ·P·U is then diagonal
// up to rounding with non-increasing entries.
struct StableReparam {
  Matrix u;
};

// Builds the rotation of `inner_penalty`, which must be m x m (only its
// upper triangle is read; it is not symmetrised).
// Errors: InvalidParameter "StableReparam: inner_penalty must be ({}, {}); got
// ({}, {})"; Linalg "eigh failed in StableReparam: {}".
Result<StableReparam> make_stable_reparam(const Matrix& inner_penalty, std::size_t m);

}  // namespace quelt

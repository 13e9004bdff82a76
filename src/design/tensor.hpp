// Tensor-product smooth terms: "te" (two cubic regression margins),
// "te_multi" (two or more margins) and "ti" (two or more margins, each
// constrained to sum to zero before the product). The margins' bases are
// multiplied row by row (row-wise Kronecker product), every margin penalty is
// lifted to the product space as I ⊗ S_j ⊗ I, and the product basis gets one
// more sum-to-zero constraint.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/predictor.hpp"

namespace quelt {

// Row-wise Kronecker product: out(i, u·b + v) = A(i, u)·B(i, v) for the
// n rows of A; B (b columns) must have at least n rows.
Matrix row_kron(MatrixView a, MatrixView b);

// I_left ⊗ S ⊗ I_right, of size (left·r·right) x (left·c·right) for the
// r x c matrix S, written directly from the non-zero entries of S.
Matrix kron_penalty(const Matrix& s, std::size_t left, std::size_t right);

// S / λ⁺ with λ⁺ the largest eigenvalue of S (NaN eigenvalues ignored), or S
// unchanged when λ⁺ ≤ 0. Only the upper triangle of S is read.
// Error: Linalg "eigh failed in tensor penalty rescale: {}".
Result<Matrix> rescale_penalty_by_max_eig(Matrix s);

// "te": basis n x (K-1), K = k_a·k_b; penalties [margin a, margin b].
struct TensorTerm {
  Matrix basis;
  std::vector<Matrix> penalties;
  TensorPredictor predictor;
};

// "te_multi" / "ti": basis n x (K-1), one penalty per margin in margin order.
struct TensorMultiTerm {
  Matrix basis;
  std::vector<Matrix> penalties;
  TensorMultiPredictor predictor;
};

// The "te" term of columns col_a and col_b with k_a and k_b knots.
// Errors (InvalidParameter): equal columns, a column beyond x or with a
// non-finite value, a product too large to store, the knot placement's errors
// (margin a first); Linalg from the margin penalty rescale.
Result<TensorTerm> build_tensor_term(MatrixView x, std::size_t col_a, std::size_t col_b,
                                     std::size_t k_a, std::size_t k_b);

// The "te_multi" (interaction = false) or "ti" (interaction = true) term of
// the m columns `cols` with k[i] knots on margin i; `bs_len` is the length of
// the margin-basis list, which must equal m. The first margin varies slowest.
Result<TensorMultiTerm> build_tensor_multi_term(MatrixView x, std::span<const std::size_t> cols,
                                                std::span<const std::size_t> k, std::size_t bs_len,
                                                bool interaction);

// [1 | row_kron(B_a·transform_a, B_b·transform_b)·constraint] on new x.
Result<Matrix> evaluate_tensor_predictor(const TensorPredictor& p, MatrixView x);

// [1 | (B_1·T_1 ⊙ … ⊙ B_m·T_m)·constraint] on new x, ⊙ the row-wise
// Kronecker product and T_i the optional margin transforms.
Result<Matrix> evaluate_tensor_multi_predictor(const TensorMultiPredictor& p, MatrixView x);

}  // namespace quelt

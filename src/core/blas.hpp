// Matrix products. The BLAS-backed ones (gemm, xtwx, xtwz, matvec) are for
// large products whose last bits may depend on the BLAS kernels and thread
// count; matmul is a plain-loop product with a fixed summation order, for
// results that must be reproducible bit for bit (model matrices rebuilt from
// stored predictors).
#pragma once

#include <vector>

#include "core/matrix.hpp"

namespace quelt {

// a·b via dgemm. Views with unit stride along rows or columns go to BLAS
// directly; other strided views are copied first.
Matrix gemm(MatrixView a, MatrixView b);

// a·b as gemm, written into c, whose storage is reused when c already has
// the shape a.rows x b.cols (loops over row blocks call it once per block).
void gemm_into(MatrixView a, MatrixView b, Matrix& c);

// Xᵀ·diag(w)·X (p x p, exactly symmetric) for the n x p matrix X. w points to
// n weights of any sign; nullptr means all ones. X is never copied whole: rows
// are processed in blocks.
Matrix xtwx(MatrixView x, const double* w);

// Xᵀ·diag(w)·X accumulated over consecutive blocks of rows of X, for loops
// that visit X block by block anyway: add() takes the blocks in order, each
// at most block_rows(p) rows (the last may be shorter), and result() returns
// the exactly symmetric p x p sum. Fed the blocks [0, b), [b, 2b), … with
// b = block_rows(p) it returns xtwx(X, w) (w not null) to the bit.
class WeightedGram {
 public:
  explicit WeightedGram(std::size_t p);
  static std::size_t block_rows(std::size_t p);
  // Adds Σ_i w_i x_i x_iᵀ over the rows of `block` (w has one entry per row;
  // any sign; NaN propagates).
  void add(MatrixView block, const double* w);
  Matrix result() const;

 private:
  std::size_t p_;
  Matrix upper_;  // upper triangle of the running sum
  std::vector<double> pos_, neg_;
};

// Xᵀ·diag(w)·z (length p); w as for xtwx, z has n entries.
Vector xtwz(MatrixView x, const double* w, const Vector& z);

// X·b (length n); b has p entries.
Vector matvec(MatrixView x, const Vector& b);

// out = X·b (n entries written at out) and out += Xᵀ·v (p entries at out, v
// with n entries): the BLAS products of matvec and xtwz into caller storage,
// for loops that work on row blocks of X.
void matvec_into(MatrixView x, const double* b, double* out);
void add_xt_times(MatrixView x, const double* v, double* out);

// a·b by plain loops: entry (i, j) is 0.0 + a(i,0)·b(0,j) + a(i,1)·b(1,j) + …
// summed in increasing k, independent of BLAS and threads.
Matrix matmul(MatrixView a, MatrixView b);

// New row-major copy of aᵀ.
Matrix transpose(MatrixView a);

}  // namespace quelt

// Matrix products. The BLAS-backed ones (gemm, xtwx, xtwz, matvec) are for
// large products whose last bits may depend on the BLAS kernels and thread
// count; matmul is a plain-loop product with a fixed summation order, for
// results that must be reproducible bit for bit (model matrices rebuilt from
// stored predictors).
#pragma once

#include "core/matrix.hpp"

namespace quelt {

// a·b via dgemm. Views with unit stride along rows or columns go to BLAS
// directly; other strided views are copied first.
Matrix gemm(MatrixView a, MatrixView b);

// Xᵀ·diag(w)·X (p x p, exactly symmetric) for the n x p matrix X. w points to
// n weights of any sign; nullptr means all ones. X is never copied whole: rows
// are processed in blocks.
Matrix xtwx(MatrixView x, const double* w);

// Xᵀ·diag(w)·z (length p); w as for xtwx, z has n entries.
Vector xtwz(MatrixView x, const double* w, const Vector& z);

// X·b (length n); b has p entries.
Vector matvec(MatrixView x, const Vector& b);

// a·b by plain loops: entry (i, j) is 0.0 + a(i,0)·b(0,j) + a(i,1)·b(1,j) + …
// summed in increasing k, independent of BLAS and threads.
Matrix matmul(MatrixView a, MatrixView b);

// New row-major copy of aᵀ.
Matrix transpose(MatrixView a);

}  // namespace quelt

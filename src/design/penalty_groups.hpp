// The log pseudo-determinant of the total penalty S_lambda = sum_j lambda_j
// S_j, lambda_j = exp(rho_j), with its gradient and Hessian over rho.
//
// The penalties fall into groups: the sets of penalties acting on one block
// of coefficients (a single smooth has one penalty, a tensor-product term
// several overlapping ones). Blocks of different groups are disjoint, so
//
//   log|S_lambda|_+ = sum_g log|S_g|_+,   S_g = sum_{j in g} lambda_j S_j.
//
// A group of one penalty j contributes r_j rho_j + l_j (rank and log
// pseudo-determinant of S_j at unit lambda), gradient r_j and no Hessian
// term. A group of several contributes the log determinant of S_g on its
// range space (which does not depend on lambda > 0), gradient
// lambda_j tr(S_g^+ S_j) and Hessian
//   delta_jk lambda_j tr(S_g^+ S_j) - lambda_j lambda_k tr(S_g^+ S_j S_g^+ S_k).
// The range space is that of the unit-lambda sum, its rank counted as
// penalty_log_pdet counts ranks (eigenvalues above 1e-10 * max(1, largest)).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace quelt {

struct PenaltyLogDet {
  double value = 0.0;  // log|S_lambda|_+
  Vector grad;         // m: d value / d rho_j
  Matrix hessian;      // m x m: d^2 value / d rho_j d rho_k
};

// `groups` lists sets of penalty indices; every index 0..m-1 must appear in
// exactly one set (a broken contract otherwise). An empty list means every
// penalty is its own group. `ranks` and `log_pdets` have m entries, `rho` at
// least m.
PenaltyLogDet penalty_log_det(const std::vector<Matrix>& penalties,
                              const std::vector<std::size_t>& ranks,
                              std::span<const double> log_pdets,
                              const std::vector<std::vector<std::size_t>>& groups,
                              std::span<const double> rho);

}  // namespace quelt

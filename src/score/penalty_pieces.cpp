#include "score/penalty_pieces.hpp"

#include <cmath>

#include "core/error.hpp"
#include "core/linalg.hpp"

namespace quelt {

PenaltyPieces penalty_pieces(const std::vector<Matrix>& penalties,
                             const std::vector<std::size_t>& ranks,
                             std::span<const double> log_pdets,
                             const std::vector<std::vector<std::size_t>>& groups,
                             const InnerFit& fit, std::span<const double> rho, bool derivatives) {
  const std::size_t m = penalties.size();
  check_invariant(rho.size() >= m, "penalty_pieces: rho shorter than the penalty list");
  check_invariant(fit.beta.size() == fit.p && fit.chol.rows() == fit.p,
                  "penalty_pieces: inner fit record is inconsistent");
  PenaltyPieces pc;
  pc.lambda.resize(rho.size());
  for (std::size_t j = 0; j < rho.size(); ++j) pc.lambda[j] = std::exp(rho[j]);
  pc.bsb.resize(m);
  for (std::size_t j = 0; j < m; ++j) {
    pc.bsb[j] = quadratic_form(penalties[j], fit.beta);
    pc.bsb_total += pc.lambda[j] * pc.bsb[j];
  }
  pc.dp = pc.bsb_total + fit.deviance;
  pc.log_det_s = penalty_log_det(penalties, ranks, log_pdets, groups, rho);
  if (derivatives) {
    pc.h_inv = inverse_from_cholesky(fit.chol.view());
    pc.trace.resize(m);
    for (std::size_t j = 0; j < m; ++j) {
      pc.trace[j] = frobenius_dot(pc.h_inv, penalties[j]);
      pc.trace_total += pc.lambda[j] * pc.trace[j];
    }
  }
  return pc;
}

}  // namespace quelt

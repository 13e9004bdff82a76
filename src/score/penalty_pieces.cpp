#include "score/penalty_pieces.hpp"

#include <cmath>

#include "core/error.hpp"
#include "core/linalg.hpp"

namespace quelt {

PenaltyPieceSet penalty_pieces(const std::vector<Matrix>& penalties, const InnerFit& fit,
                             std::span<const double> rho) {
  const std::size_t m = penalties.size();
  check_invariant(rho.size() >= m, "penalty_pieces: rho shorter than the penalty list");
  check_invariant(fit.beta.size() == fit.p && fit.chol.rows() == fit.p,
                  "penalty_pieces: inner fit record is inconsistent");
  PenaltyPieceSet pc;
  pc.lambda.resize(rho.size());
  for (std::size_t j = 0; j < rho.size(); ++j) pc.lambda[j] = std::exp(rho[j]);
  pc.h_inv = inverse_from_cholesky(fit.chol.view());
  pc.bsb.resize(m);
  pc.trace.resize(m);
  for (std::size_t j = 0; j < m; ++j) {
    pc.bsb[j] = quadratic_form(penalties[j], fit.beta);
    pc.trace[j] = trace_of_product(pc.h_inv, penalties[j]);
    pc.bsb_total += pc.lambda[j] * pc.bsb[j];
    pc.trace_total += pc.lambda[j] * pc.trace[j];
  }
  pc.dp = pc.bsb_total + fit.deviance;
  return pc;
}

}  // namespace quelt

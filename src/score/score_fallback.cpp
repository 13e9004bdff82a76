#include "score/score_fallback.hpp"

namespace quelt {

EnvelopeScore inadmissible_record(std::size_t m, Vector lambda) {
  EnvelopeScore es;
  es.grad.assign(m, 0.0);
  es.score = kInadmissibleScore;
  es.lambda = std::move(lambda);
  es.bsb_per_term.assign(m, 0.0);
  es.trace_per_term.assign(m, 0.0);
  es.dscale_drho.reset();
  es.h_inv = Matrix(0, 0);
  es.scale = 1.0;
  es.fd_hessian = false;
  es.log_det_s_hessian = Matrix(0, 0);
  return es;
}

}  // namespace quelt

// The record of one fitted model. Every fit driver assembles one at the end of
// a fit; the Python object owns it, and the persisted byte format writes its
// fields in declaration order (do not reorder them).
#pragma once

#include <cstdint>

#include "core/matrix.hpp"
#include "design/predictor.hpp"
#include "family/link.hpp"
#include "inner/fit_stats.hpp"

namespace quelt {

struct FittedGam {
  // Coefficients, p of them; beta[0] multiplies the intercept column.
  Vector beta;
  // Log smoothing parameters, one per penalty in penalty order.
  Vector rho;
  // Smoothing parameters exp(rho).
  Vector lambda;
  // The scale (dispersion) the driver reports.
  double scale = 0.0;
  // Total effective degrees of freedom.
  double edf_total = 0.0;
  // Effective degrees of freedom per penalty.
  Vector edf_per_term;
  // Number of observations.
  std::uint64_t n = 0;
  // Outer iterations used.
  std::uint64_t n_iters = 0;
  // True when the outer optimisation and the final inner fit converged.
  bool converged = false;
  // Outer score at the final point (0.0 after Fellner-Schall updates).
  double reml_value = 0.0;
  // Rebuilds the model matrix [1 | B] for new covariates.
  TermPredictor predictor;
  // Posterior covariance of beta, p x p.
  Matrix vcov;
  // The family's link, used by the response-scale predictions.
  Link link = Link::Identity;
  // Shape coordinates of the final point on the optimisation scale; empty
  // (never absent) for families without shape parameters.
  Vector shape_params;
  // Counters of the fit.
  FitStats fit_stats;
};

}  // namespace quelt

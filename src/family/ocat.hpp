// Ordered-categorical family pieces. Observation i falls in category k of
// 1..R with probability
//   P_i = F(c_k − η_i) − F(c_{k−1} − η_i),   F(x) = 1/(1 + e^(−x)),
// over the cut points c_0 = −∞, c_1 = −1, c_{m+1} = c_m + e^(θ_m)
// (m = 1..R−2), c_R = +∞, θ the R − 2 log-gaps (`thresholds`). The category
// of a response is y rounded half away from zero, clamped to 1..R (NaN gives
// 1). Probabilities are floored at the smallest normal double before any
// logarithm or division, so the criterion stays finite. Prior weights are
// frequency weights.
#pragma once

#include <cstddef>
#include <span>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "family/families.hpp"

namespace quelt {

// The family value. R < 3 is InvalidParameter "Ocat requires R ≥ 3, got {R}"
// (two categories are a binary model); a threshold count other than R − 2 is
// InvalidParameter "Ocat thresholds length must equal n_cats - 2".
Result<Ocat> ocat_new(Vector thresholds, std::size_t n_cats);

// The category 1..R of a response: y rounded half away from zero, clamped to
// 1..R, NaN to 1.
std::size_t ocat_category(double y, std::size_t n_cats);

// c_0..c_R as above (R + 1 entries). Needs R ≥ 2 and at least R − 2
// thresholds (a broken contract otherwise).
Vector ocat_cut_points(const Ocat& family);

// D = −2·Σ_i w_i·ln P′_i over i < n = eta.size(), in index order; 0 for
// n = 0. y holds at least n entries, w is empty (unit weights) or holds at
// least n.
double ocat_log_likelihood(std::span<const double> y, const Ocat& family,
                           std::span<const double> eta, std::span<const double> w);

// Derivatives of D_i = −2·w_i·ln P′_i, newly allocated, row i an observation
// and column j the log-gap θ_{j+1} (R − 2 columns, none for R = 2).
struct OcatObsDerivs {
  Vector dev_eta3;        // ∂³D_i/∂η_i³
  Matrix dev_theta;       // ∂D_i/∂θ_j
  Matrix dev_theta_eta;   // ∂²D_i/∂θ_j∂η_i
  Matrix dev_theta_eta2;  // ∂³D_i/∂θ_j∂η_i²
};

// The arrays above for n = y.size() observations; eta holds at least n
// entries, w is empty (unit weights) or holds at least n.
OcatObsDerivs ocat_obs_probs(const Ocat& family, std::span<const double> y,
                             std::span<const double> eta, std::span<const double> w);

// The unweighted first and second derivatives of −2·ln P′_i in η_i, written
// to d1 and d2 for i < n = eta.size() (y, d1 and d2 hold at least n):
//   d1_i = −2·P_η/P′,   d2_i = 2·(P_η²/P′ − P_ηη)/P′,
// with P_η = F′(a) − F′(b) and P_ηη = F″(b) − F″(a) at the cell's ends
// a = c_{k−1} − η_i, b = c_k − η_i. d2 ≥ 0 up to rounding: the cell
// probability is log-concave in η.
void ocat_eta_derivatives(const Ocat& family, std::span<const double> y,
                          std::span<const double> eta, std::span<double> d1, std::span<double> d2);

}  // namespace quelt

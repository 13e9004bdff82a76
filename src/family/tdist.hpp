// Per-observation derivatives of the scaled-t deviance (identity link, so
// η = μ) over the mean and the shape coordinates (log σ², log(ν − 2)), as the
// shape-aware score needs them.
//
// With r = y − μ, s = ν·σ², Q = s + r² and prior weight w (a frequency
// weight), the weighted deviance of one observation is
//   D = w·(ν + 1)·ln(1 + r²/s),
// and ν = 2 + e^(t₁), so ∂ν/∂t₁ = ν − 2, while ∂s/∂(log σ²) = s.
#pragma once

#include <span>

#include "core/matrix.hpp"
#include "family/families.hpp"

namespace quelt {

// Newly allocated arrays, row i an observation; the n x 2 matrices hold the
// coordinate log σ² in column 0 and log(ν − 2) in column 1.
struct TDistObsDerivs {
  Vector dev_eta3;        // ∂³D/∂μ³ = 4w(ν+1)·r(3s − r²)/Q³
  Matrix dev_shape;       // ∂D/∂t:   −w(ν+1)r²/Q;  (ν−2)·w·(L − (ν+1)r²/(νQ)), L = ln(1 + r²/s)
  Matrix dev_shape_eta;   // ∂²D/∂μ∂t: 2w(ν+1)s·r/Q²;  −2w·r(ν−2)(Q − (ν+1)σ²)/Q²
  Matrix dev_shape_eta2;  // ∂³D/∂μ²∂t: 2w(ν+1)s(3r² − s)/Q³;
                          //            2w(ν−2)(Q(s − r²) + (ν+1)σ²(3r² − s))/Q³
};

// The arrays above at the family's ν and σ² for n = y.size() observations; μ
// holds at least n entries, w is empty (unit weights) or holds at least n.
// L is taken as 0 when s ≤ 0; otherwise values outside ν > 2, σ² > 0 follow
// IEEE arithmetic.
TDistObsDerivs tdist_obs_derivs(const TDist& family, std::span<const double> y,
                                std::span<const double> mu, std::span<const double> w);

}  // namespace quelt

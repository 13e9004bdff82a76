#include "score/gamma_scale.hpp"

#include <cmath>
#include <span>

#include "core/gamma_functions.hpp"
#include "core/numeric.hpp"

namespace quelt {

namespace {

// The scale equation is solved when |G| falls below 1e-10 times the size of
// its terms, |D_p| + (Mp + n)·φ₀; at most 30 Newton updates on each set of
// levels, each within [0.1φ, 10φ].
constexpr double kGammaScaleTol = 1e-10;
constexpr std::size_t kGammaScaleMaxSteps = 30;
constexpr double kGammaStepShrink = 0.1;
constexpr double kGammaStepGrow = 10.0;
// Newton's error squares with each update (G is smooth in ln φ): after an
// update of 1e-12 of φ the root is reached; after one of 1e-5 of φ the next
// would move φ by about 1e-10 of itself, below what the score resolves, so
// the refinement on the exact levels stops there (the coarse nodes put the
// start within about 1e-6 of the root).
constexpr double kGammaStepDone = 1e-12;
constexpr double kGammaStepAccept = 0.5;

struct Levels {
  std::span<const double> level, count;
};

// n, the rows, and w̄ = Σ w_i / n, their mean weight (1 without rows).
struct RowTotals {
  double n = 0.0;
  double mean_weight = 1.0;
};
RowTotals row_totals(Levels lv) {
  RowTotals r;
  double sw = 0.0;
  for (std::size_t k = 0; k < lv.level.size(); ++k) {
    r.n += lv.count[k];
    sw += lv.count[k] * lv.level[k];
  }
  if (r.n > 0.0 && sw > 0.0) r.mean_weight = sw / r.n;
  return r;
}

// One pass over the levels at φ: A = Σ w r(a), B = Σ w (1 − aψ′(a)) and
// K = Σ κ(a), a = w/φ, each row counted (so G = D_p + Mp·φ − 2A,
// G′ = Mp + 2B/φ, ls = K − Σ ln y).
struct Pass {
  double a = 0.0, b = 0.0, kappa = 0.0;
};
Pass scale_pass(Levels lv, double phi) {
  Pass p;
  for (std::size_t k = 0; k < lv.level.size(); ++k) {
    const double w = lv.level[k], a = w / phi, c = lv.count[k];
    const DigammaTrigamma d = digamma_trigamma(a);
    const double log_a = std::log(a);
    p.a += (c * w) * (log_a - d.psi);
    p.b += (c * w) * (1.0 - a * d.psi1);
    p.kappa += c * ((a * log_a - a) - ln_gamma(a));
  }
  return p;
}

// The scale with G′ and K − Σ ln y at it.
struct Root {
  double phi, slope, kappa;
};

// Damped Newton on G over the levels from φ₀ until |G| < tau, or until an
// update moves φ by less than `accept` of itself; φ then takes that update
// and K its second-order Taylor step, dK/dφ = −A/φ², d²K/dφ² = (2A + B)/φ³
// (third-order error, far below rounding). G′ stays that of the last pass.
Root refine(Levels lv, double dp, double mp, double floor, double tau, double phi, double accept) {
  for (std::size_t k = 0;; ++k) {
    const Pass p = scale_pass(lv, phi);
    const double g = mp * phi + (dp - 2.0 * p.a);
    const double gd = mp + 2.0 * p.b / phi;
    if (std::fabs(g) < tau || std::fabs(gd) < kGammaFlatSlope) return {phi, gd, p.kappa};
    const double stepped = std::fmax(phi - g / gd, kGammaStepShrink * phi);
    const double phi_new = floor_at(std::fmin(stepped, kGammaStepGrow * phi), floor);
    if (std::isnan(phi_new) || std::isinf(phi_new)) return {phi, gd, p.kappa};
    const double d = phi_new - phi;
    if (std::fabs(d) < accept * phi || k + 1 >= kGammaScaleMaxSteps) {
      const double phi2 = phi * phi;
      const double kappa =
          p.kappa - p.a / phi2 * d + 0.5 * ((2.0 * p.a + p.b) / (phi2 * phi)) * (d * d);
      return {phi_new, gd, kappa};
    }
    phi = phi_new;
  }
}

}  // namespace

double gamma_saturated_loglik(const SaturatedSums& s, double phi) {
  return scale_pass({s.level, s.count}, phi).kappa - s.sum_log_y;
}

GammaScale gamma_profile_scale(double dp, const SaturatedSums& s, std::size_t mp_) {
  const Levels exact{s.level, s.count};
  const RowTotals rows = row_totals(exact);
  const double n = rows.n, mp = static_cast<double>(mp_);
  const double floor = kGammaScaleFloorRel * rows.mean_weight;
  const double free = n - mp;
  const double start =
      floor_at(2.0 * dp / (free + std::sqrt(free * free + (4.0 / 6.0) * s.sum_inv_w * dp)), floor);
  const double tau = (std::fabs(dp) + (mp + n) * start) * kGammaScaleTol;
  Root r;
  if (s.node_level.empty()) {
    r = refine(exact, dp, mp, floor, tau, start, kGammaStepDone);
  } else {
    const Root coarse =
        refine({s.node_level, s.node_count}, dp, mp, floor, tau, start, kGammaStepDone);
    r = refine(exact, dp, mp, floor, tau, coarse.phi, kGammaStepAccept);
  }
  return {r.phi, r.slope, r.kappa - s.sum_log_y};
}

}  // namespace quelt

// A pilot fit that tells the scaled-t search where the data's noise and
// smoothness lie: a penalized least-squares fit of y whose smoothing
// parameters λ_j = c_j·e^δ share one shift δ chosen by the Gaussian REML
// score, with c_j = Σ_{k ∈ B_j}(XᵀWX)_kk / tr S_j balancing each penalty
// against the information on its coefficients (B_j the coefficients S_j acts
// on, W the prior weights):
//
//   β(δ) = (XᵀWX + e^δ S₀)⁻¹XᵀW(y − y₀),   S₀ = Σ_j c_j S_j,
//   D(δ) = Σ_i w_i(y_i − y₀ − x_iᵀβ)² + e^δ βᵀS₀β,
//   V(δ) = ((n − Mp)/2)·ln D + ½ln|XᵀWX + e^δ S₀| − (r/2)·δ,
//
// n the rows of positive weight, r = p − Mp the rank of S₀. δ is taken on a
// grid of step 2 over [−40, 40]: a start needs the optimum within a unit or
// so, and a grid cannot be led astray by the flat ends of V. D is summed
// from the residuals rather than from yᵀWy − bᵀβ, which cancels to nothing
// when the data are precise.
//
// Why a pilot: the optimal λ of precise data (noise 1e-5 of the signal) lies
// many units of ρ below any start balanced on the information alone, and the
// scaled-t score has a second basin there (a smooth curve with σ² the size
// of the misfit, ν small) that the search falls into from above. The pilot's
// residual scale also centres the σ² box on the noise rather than on the
// spread of y, which holds the signal.
//
// Robustness: y is centred on its weighted median, rows further than three
// of y's spreads (1.4826·MAD) from it are clipped to that distance, and the
// residual variance is
// (1.4826·MAD)² over the rows of positive weight: the outliers a scaled t is
// chosen for move none of them far.
#pragma once

#include <cstddef>

#include "core/matrix.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"

namespace quelt {

struct ScalePilot {
  bool ok = false;                // false: no δ gave a finite score (nothing else is set)
  Vector rho;                     // ln(c_j) + δ̂, one per penalty
  Vector fitted;                  // y₀ + Xβ(δ̂), n entries (y₀ the weighted median of y)
  double variance = 0.0;          // (1.4826·MAD)² of the residuals (0 when they have none)
  double largest_residual = 0.0;  // max |y_i − fitted_i| over the rows of positive weight
  // The smaller positive one of √variance and y's own (1.4826·MAD) about its
  // median: the unit in which the largest residual is measured.
  double spread = 0.0;
};

ScalePilot scale_pilot(const FitContext<TDist>& ctx);

// 1.4826·MAD of v over the rows of positive weight (w null: all 1), and its
// square.
double mad_spread(const Vector& v, const double* w);
double mad_variance(const Vector& v, const double* w);

}  // namespace quelt

// Per-thread settings of the outer optimisation: which algorithm the
// standard-family driver uses and an optional replacement for the drivers'
// default Newton-loop tolerances. Both belong to the calling OS thread, start
// unset on every thread, and are read once at the start of a fit, so a change
// affects only later fits on the same thread.
#pragma once

#include <cstdint>
#include <optional>

namespace quelt {

// The least change of the score, in log-likelihood units, that a fit can
// show: a damped Newton search is converged only once the step it would
// take next is predicted to gain less than this (outer/newton.hpp). A
// score difference of 1 is about the width of a confidence region for ρ,
// and 10⁻³ lies far inside it: the λ of two points whose scores differ by
// that much give fits that no interval tells apart.
inline constexpr double kVisibleScoreChange = 1e-3;

// Settings of one damped Newton run.
struct OuterOptions {
  double grad_tol = 0.0;       // gradient tolerance
  double reml_tol = 0.0;       // relative score-change tolerance
  std::uint64_t max_iter = 0;  // largest number of accepted Newton steps
  double max_step = 0.0;       // largest absolute step component (no step caps)
  // The predicted gain of the next step below which the relative tests may
  // end the run (kVisibleScoreChange, scaled as the drivers' tolerances).
  double visible_change = kVisibleScoreChange;

  bool operator==(const OuterOptions&) const = default;
};

// Values of the per-thread algorithm byte.
inline constexpr std::uint8_t kOuterNewton = 0;         // damped Newton on the REML score
inline constexpr std::uint8_t kOuterFellnerSchall = 1;  // Fellner-Schall updates
inline constexpr std::uint8_t kOuterUnset = 2;          // not set: damped Newton

// The calling thread's algorithm byte (kOuterUnset until written).
std::uint8_t outer_algorithm();
void set_outer_algorithm(std::uint8_t value);
// True when the standard-family driver should run Fellner-Schall updates:
// bit 0 of the byte, so both 0 and the unset 2 select damped Newton.
inline bool outer_algorithm_is_fellner_schall() { return (outer_algorithm() & 1u) != 0; }

// The calling thread's tuning override (absent until written).
std::optional<OuterOptions> outer_tuning_override();
void set_outer_tuning_override(std::optional<OuterOptions> value);

}  // namespace quelt

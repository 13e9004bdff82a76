// Link functions: the map μ = g⁻¹(η) from the linear predictor η to the
// mean μ.
//
// The enumerator values are fixed: they are the link's stored form in a
// fitted model (a 32-bit index).
//
//   Identity  μ = η
//   Log       μ = exp(η), no clamp (overflows to +inf for η > ~709.78)
//   Logit     μ = e^η / (1 + e^η) for η < 0, else 1 / (1 + e^−η); each
//             branch exponentiates a non-positive number, so it never
//             overflows: η = 800 gives 1, η = −800 gives 0
//   Inverse   μ = 1/η', η' = max(|η|, 1e-300) carrying η's sign; η = +0 or
//             −0 gives +1e300
//
// A NaN η gives NaN under every link. (Under Inverse the floor alone would
// turn NaN into 1e300 and report a missing prediction as a huge finite one.)
//
// Two forms: `inverse_link<L>(eta)` for loops where the link is known at
// compile time (families carry theirs as `F::link`), and
// `inverse_link(link, eta)` for a link held as a value, e.g. by a fitted
// model.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "core/error.hpp"
#include "core/numeric.hpp"

namespace quelt {

enum class Link : std::uint32_t { Identity = 0, Log = 1, Logit = 2, Inverse = 3 };

// Smallest |η| used by the inverse link: its reciprocal 1e300 is finite.
inline constexpr double kInverseLinkEtaFloor = 1e-300;

template <Link L>
inline double inverse_link(double eta) {
  if constexpr (L == Link::Identity) {
    return eta;
  } else if constexpr (L == Link::Log) {
    return std::exp(eta);
  } else if constexpr (L == Link::Logit) {
    if (eta < 0.0) {
      const double e = std::exp(eta);
      return e / (1.0 + e);
    }
    return 1.0 / (1.0 + std::exp(-eta));  // also NaN -> NaN
  } else {
    static_assert(L == Link::Inverse, "unknown link");
    if (std::isnan(eta)) return eta;
    const double a = floor_at(std::fabs(eta), kInverseLinkEtaFloor);
    return eta < 0.0 ? 1.0 / (-a) : 1.0 / a;
  }
}

// The same maps for a link known only at run time. A value outside the four
// enumerators is a broken contract (stored links are checked when read).
inline double inverse_link(Link link, double eta) {
  switch (link) {
    case Link::Identity:
      return inverse_link<Link::Identity>(eta);
    case Link::Log:
      return inverse_link<Link::Log>(eta);
    case Link::Logit:
      return inverse_link<Link::Logit>(eta);
    case Link::Inverse:
      return inverse_link<Link::Inverse>(eta);
  }
  invariant_failed("inverse_link: unknown link index " +
                   std::to_string(static_cast<std::uint32_t>(link)));
}

}  // namespace quelt

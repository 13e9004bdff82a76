// Small scalar helpers with defined behaviour on NaN, overflow and huge
// values: floors where the floor wins on NaN, saturating float-to-integer
// conversion and checked size arithmetic; and the constants of the normal
// density.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace quelt {

// √ε = 2⁻²⁶ of doubles: the customary relative tolerance for a quantity
// known only up to accumulated rounding.
inline constexpr double kSqrtEpsilon = 1.4901161193847656e-8;

// 2π and ln 2π, the constants of the normal density.
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kLogTwoPi = 1.8378770664093453;

// max(v, b) where the floor b wins when v is NaN.
inline double floor_at(double v, double b) { return std::fmax(v, b); }
// min(v, b) where the ceiling b wins when v is NaN.
inline double ceil_at(double v, double b) { return std::fmin(v, b); }

// Every entry of v is finite (neither NaN nor infinite).
inline bool all_finite(std::span<const double> v) {
  for (double e : v)
    if (!std::isfinite(e)) return false;
  return true;
}

// Float to unsigned 64-bit integer, truncating toward zero and saturating:
// NaN and negatives give 0, values beyond the range give the maximum.
inline std::uint64_t sat_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0)  // 2⁶⁴
    return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

inline std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}
inline std::optional<std::size_t> checked_add(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

}  // namespace quelt

// Four-lane double vectors for loops whose every lane must compute exactly
// what the scalar code computes: each lane operation is one IEEE multiply,
// add or subtract (the build never contracts them into fused operations), so
// results are bit-identical to the scalar loop on every target.
#pragma once

#include <cstring>

// The vectors only pass through these inline helpers inside one translation
// unit and target clone, so the compiler's note that their by-value ABI
// differs between targets does not apply; it is silenced for the files that
// include this header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace quelt {

typedef double Lanes4 __attribute__((vector_size(32)));

inline Lanes4 load4(const double* p) {
  Lanes4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(double* p, const Lanes4& v) { std::memcpy(p, &v, sizeof v); }
inline Lanes4 splat4(double s) { return Lanes4{s, s, s, s}; }

}  // namespace quelt

// Compiles the marked function for AVX2 as well as the baseline, chosen at
// load time. Only lane width changes; no fused multiply-add is enabled.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define QUELT_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUELT_WIDE_CLONES
#endif

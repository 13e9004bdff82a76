// Timing pieces shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>

#include "core/blas.hpp"
#include "core/matrix.hpp"

namespace quelt::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The best of `reps` timings of one XᵀWX of x at weights w: the unit in
// which the benchmarks state the cost of a fit.
inline double best_xtwx_seconds(MatrixView x, const double* w, int reps) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    volatile double s = xtwx(x, w)(0, 0);
    (void)s;
    best = std::min(best, seconds_since(t0));
  }
  return best;
}

// The largest n to run: the program's first argument, or `otherwise`.
inline std::size_t largest_n(int argc, char** argv, std::size_t otherwise) {
  return argc > 1 ? std::stoul(argv[1]) : otherwise;
}

}  // namespace quelt::bench

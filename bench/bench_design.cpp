// Timing of building a cubic regression smooth design (knots, basis,
// constraint, penalty, model matrix) and of evaluating its stored predictor
// on the training covariate, k = 20, n = 1e4 … 1e6. The evaluation must give
// the model matrix to the bit; the benchmark checks that too.
//
//   cmake -S . -B build/bench -G Ninja -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/bench_design
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "bench_timing.hpp"
#include "design/model_design.hpp"
#include "design/predictor.hpp"

namespace {

using namespace quelt;
using bench::Clock;
using bench::seconds_since;

}  // namespace

int main() {
  std::printf("%-9s %12s %12s %6s\n", "n", "build [ms]", "eval [ms]", "same");
  for (std::size_t n : {10000u, 100000u, 1000000u}) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Matrix x(n, 1);
    for (std::size_t i = 0; i < n; ++i) x(i, 0) = u(gen);
    const int reps = n >= 1000000 ? 3 : 5;
    double t_build = 1e300, t_eval = 1e300;
    bool same = true;
    for (int r = 0; r < reps; ++r) {
      auto t0 = Clock::now();
      auto design = build_cr_design(x.view(), 20);
      t_build = std::min(t_build, seconds_since(t0));
      if (!design.ok()) {
        std::printf("design failed: %s\n", design.error().display().c_str());
        return 1;
      }
      t0 = Clock::now();
      auto ev = predictor_evaluate(design.value().predictor, x.view());
      t_eval = std::min(t_eval, seconds_since(t0));
      same = same && ev.ok() && ev.value() == design.value().x;
    }
    std::printf("%-9zu %12.1f %12.1f %6s\n", n, t_build * 1e3, t_eval * 1e3, same ? "yes" : "NO");
  }
  return 0;
}

// Timing of complete quantile (ELF) fits of one cubic regression smooth with
// k = 20 for n = 1e4 … 1e6 and tau = 0.01, 0.5, 0.9, 0.99: time per fit, the ratio to one
// weighted cross product XᵀWX of the same model matrix, outer iterations,
// inner fits and Newton iterations, and the share of y below the curve.
//
//   cmake -S . -B build/bench -G Ninja -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_BENCH=ON
//   cmake --build build/bench && OPENBLAS_NUM_THREADS=1 build/bench/bench_quantile
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench_timing.hpp"
#include "core/blas.hpp"
#include "design/model_design.hpp"
#include "fit/quantile_driver.hpp"

namespace {

using namespace quelt;
using bench::Clock;
using bench::seconds_since;

}  // namespace

int main(int argc, char** argv) {
  const std::size_t max_n = bench::largest_n(argc, argv, 1000000u);
  const std::size_t k = 20;
  std::printf("%-5s %-9s %12s %12s %10s %6s %6s %7s %6s %8s\n", "tau", "n", "fit [ms]", "XtWX [ms]",
              "ratio", "iters", "fits", "newton", "conv", "below");
  for (std::size_t n : {10000u, 100000u, 1000000u}) {
    if (n > max_n) break;
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> z(0.0, 1.0);
    Matrix x(n, 1);
    Vector y(n), w(n, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = u(gen);
      y[i] = std::sin(6.283185307179586 * x(i, 0)) + (0.3 + 0.6 * x(i, 0)) * z(gen);
    }
    auto design = build_cr_design(x.view(), k);
    if (!design.ok()) {
      std::printf("design failed: %s\n", design.error().display().c_str());
      return 1;
    }
    const int reps = n >= 1000000 ? 2 : (n >= 100000 ? 3 : 10);
    const double t_xtwx = bench::best_xtwx_seconds(design.value().x.view(), w.data(), 2 * reps);
    for (double tau : {0.01, 0.5, 0.9, 0.99}) {
      double best = 1e300;
      FittedGam last;
      for (int r = 0; r < reps; ++r) {
        ModelDesign copy = design.value();  // the driver takes its design over
        const auto t0 = Clock::now();
        auto res = fit_elf_quantile(std::move(copy), y, std::nullopt, Elf{tau, 0.0, 0.0});
        best = std::min(best, seconds_since(t0));
        if (!res.ok()) {
          std::printf("fit failed: %s\n", res.error().display().c_str());
          return 1;
        }
        last = std::move(res).value();
      }
      const Matrix& xm = design.value().x;
      std::size_t below = 0;
      for (std::size_t i = 0; i < n; ++i) {
        double eta = 0.0;
        for (std::size_t c = 0; c < xm.cols(); ++c) eta += xm(i, c) * last.beta[c];
        below += y[i] < eta;
      }
      std::printf("%-5.2f %-9zu %12.2f %12.3f %10.1f %6llu %6llu %7llu %6s %8.4f\n", tau, n,
                  best * 1e3, t_xtwx * 1e3, best / t_xtwx,
                  static_cast<unsigned long long>(last.n_iters),
                  static_cast<unsigned long long>(last.fit_stats.inner_pirls_calls),
                  static_cast<unsigned long long>(last.fit_stats.inner_pirls_iterations_total),
                  last.converged ? "yes" : "no", static_cast<double>(below) / n);
    }
  }
  return 0;
}

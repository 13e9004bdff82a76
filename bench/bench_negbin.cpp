// Timing of complete negative binomial fits (θ estimated) of one cubic
// regression smooth with k = 20 for n = 1e4, 1e5 and 1e6: counts with size
// θ = 3 and log-mean 1 + sin 2πx. Prints the time per fit, its ratio to one
// weighted cross product XᵀWX of the same model matrix, outer iterations,
// line-search trials, trials the screen predicted (and the share of them),
// inner fits, PIRLS iterations and θ̂.
//
//   cmake -S . -B build/bench -G Ninja -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_BENCH=ON
//   cmake --build build/bench && OPENBLAS_NUM_THREADS=1 build/bench/bench_negbin
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "bench_timing.hpp"
#include "core/blas.hpp"
#include "design/model_design.hpp"
#include "fit/negbin_driver.hpp"

namespace {

using namespace quelt;
using bench::Clock;
using bench::seconds_since;

}  // namespace

int main(int argc, char** argv) {
  const std::size_t max_n = bench::largest_n(argc, argv, 1000000u);
  const std::size_t k = 20;
  std::printf("%-7s %10s %8s %6s %6s %6s %6s %5s %6s %7s %5s  %s\n", "n", "fit [ms]", "XtWX",
              "ratio", "outer", "trials", "hits", "rate", "fits", "pirls", "conv", "theta");
  for (std::size_t n : {10000u, 100000u, 1000000u}) {
    if (n > max_n) break;
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double theta = 3.0;
    Matrix x(n, 1);
    Vector y(n), w(n, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = u(gen);
      const double mu = std::exp(1.0 + std::sin(6.283185307179586 * x(i, 0)));
      const double lam = std::gamma_distribution<double>(theta, mu / theta)(gen);
      y[i] = static_cast<double>(std::poisson_distribution<long>(lam)(gen));
    }
    auto design = build_cr_design(x.view(), k);
    if (!design.ok()) {
      std::printf("design failed: %s\n", design.error().display().c_str());
      return 1;
    }
    const double t_xtwx = bench::best_xtwx_seconds(design.value().x.view(), w.data(), 10);
    const int reps = n >= 1000000 ? 2 : n >= 100000 ? 3 : 10;
    double best = 1e300;
    FittedGam last;
    for (int r = 0; r < reps; ++r) {
      ModelDesign copy = design.value();  // the driver takes its design over
      const auto t0 = Clock::now();
      auto res = fit_negbin(std::move(copy), y, std::nullopt, negbin_log(2.0));
      best = std::min(best, seconds_since(t0));
      if (!res.ok()) {
        std::printf("fit failed: %s\n", res.error().display().c_str());
        return 1;
      }
      last = std::move(res).value();
    }
    const FitStats& s = last.fit_stats;
    const double rate = s.no_refresh_attempts > 0 ? static_cast<double>(s.no_refresh_hits) /
                                                        static_cast<double>(s.no_refresh_attempts)
                                                  : 0.0;
    std::printf("%-7zu %10.1f %8.3f %6.0f %6llu %6llu %6llu %5.2f %6llu %7llu %5s  %.4f\n", n,
                best * 1e3, t_xtwx * 1e3, best / t_xtwx,
                static_cast<unsigned long long>(s.outer_iterations),
                static_cast<unsigned long long>(s.line_search_trials),
                static_cast<unsigned long long>(s.no_refresh_hits), rate,
                static_cast<unsigned long long>(s.inner_pirls_calls),
                static_cast<unsigned long long>(s.inner_pirls_iterations_total),
                last.converged ? "yes" : "no", std::exp(last.shape_params[0]));
  }
  return 0;
}

// Timing of complete ordered-categorical fits of one cubic regression smooth
// with k = 20 at n = 1e4, R = 5 and R = 10 categories (labels from
// 1.5·sin(2πx) + logistic noise, every log gap ln 0.8). Prints the time per
// fit, its ratio to one weighted cross product XᵀWX of the same model
// matrix, outer iterations, line-search trials, inner fits, Newton
// iterations and the largest error of the estimated log gaps.
//
//   cmake -S . -B build/bench -G Ninja -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_BENCH=ON
//   cmake --build build/bench && OPENBLAS_NUM_THREADS=1 build/bench/bench_ocat
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "bench_timing.hpp"
#include "core/blas.hpp"
#include "design/model_design.hpp"
#include "fit/shape_driver.hpp"

namespace {

using namespace quelt;
using bench::Clock;
using bench::seconds_since;

}  // namespace

int main(int argc, char** argv) {
  // Optional argument: the number of rows (default 1e4).
  const std::size_t n = bench::largest_n(argc, argv, 10000u);
  const std::size_t k = 20;
  const double gap = std::log(0.8);
  std::printf("%-3s %-7s %10s %8s %7s %6s %6s %6s %7s %5s  %s\n", "R", "n", "fit [ms]", "XtWX",
              "ratio", "outer", "trials", "fits", "newton", "conv", "max |gap error|");
  for (std::size_t r : {5u, 10u}) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Matrix x(n, 1);
    Vector y(n), w(n, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = u(gen);
      const double v = u(gen);
      const double latent = 1.5 * std::sin(6.283185307179586 * x(i, 0)) + std::log(v / (1.0 - v));
      double cut = -1.0;
      std::size_t c = 1;
      while (c < r && latent > cut) {
        ++c;
        cut += std::exp(gap);
      }
      y[i] = static_cast<double>(c);
    }
    auto design = build_cr_design(x.view(), k);
    if (!design.ok()) {
      std::printf("design failed: %s\n", design.error().display().c_str());
      return 1;
    }
    const double t_xtwx = bench::best_xtwx_seconds(design.value().x.view(), w.data(), 10);
    double best = 1e300;
    FittedGam last;
    for (int rep = 0; rep < 3; ++rep) {
      ModelDesign copy = design.value();  // the driver takes its design over
      const auto t0 = Clock::now();
      auto res = fit_shape_family(std::move(copy), y, std::nullopt, Ocat{Vector(r - 2, 0.0), r});
      best = std::min(best, seconds_since(t0));
      if (!res.ok()) {
        std::printf("R=%zu fit failed: %s\n", r, res.error().display().c_str());
        return 1;
      }
      last = std::move(res).value();
    }
    double err = 0.0;
    for (double t : last.shape_params) err = std::max(err, std::fabs(t - gap));
    const FitStats& s = last.fit_stats;
    std::printf("%-3zu %-7zu %10.1f %8.3f %7.0f %6llu %6llu %6llu %7llu %5s  %.3f\n", r, n,
                best * 1e3, t_xtwx * 1e3, best / t_xtwx,
                static_cast<unsigned long long>(s.outer_iterations),
                static_cast<unsigned long long>(s.line_search_trials),
                static_cast<unsigned long long>(s.inner_pirls_calls),
                static_cast<unsigned long long>(s.inner_pirls_iterations_total),
                last.converged ? "yes" : "no", err);
  }
  return 0;
}

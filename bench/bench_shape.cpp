// Timing of complete shape-family fits of one cubic regression smooth with
// k = 20 for n = 1e4 and 1e5: the scaled t on t₄ noise with 5% gross
// outliers and Tweedie (p = 1.6, φ = 2) with p estimated. Prints the time per
// fit, its ratio to one weighted cross product XᵀWX of the same model matrix,
// outer iterations, line-search trials, inner fits, PIRLS iterations and the
// estimated shape values.
//
//   cmake -S . -B build/bench -G Ninja -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_BENCH=ON
//   cmake --build build/bench && OPENBLAS_NUM_THREADS=1 build/bench/bench_shape
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

// The shape values a record's shape_params encode.
std::string shape_values(const TDist&, const Vector& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "nu=%.3f sigma2=%.4f", 2.0 + std::exp(t[1]), std::exp(t[0]));
  return buf;
}
std::string shape_values(const Tweedie&, const Vector& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "p=%.4f phi=%.4f", 1.0 + 1.0 / (1.0 + std::exp(-t[1])),
                std::exp(t[0]));
  return buf;
}

template <class F>
int run(const char* name, const ModelDesign& design, const Vector& y, F family, double t_xtwx,
        std::size_t n) {
  const int reps = n >= 100000 ? 3 : 10;
  double best = 1e300;
  FittedGam last;
  for (int r = 0; r < reps; ++r) {
    ModelDesign copy = design;  // the driver takes its design over
    const auto t0 = Clock::now();
    auto res = fit_shape_family(std::move(copy), y, std::nullopt, family);
    best = std::min(best, seconds_since(t0));
    if (!res.ok()) {
      std::printf("%s fit failed: %s\n", name, res.error().display().c_str());
      return 1;
    }
    last = std::move(res).value();
  }
  const FitStats& s = last.fit_stats;
  std::printf("%-8s %-7zu %10.1f %8.3f %7.0f %6llu %6llu %6llu %7llu %5s  %s\n", name, n,
              best * 1e3, t_xtwx * 1e3, best / t_xtwx,
              static_cast<unsigned long long>(s.outer_iterations),
              static_cast<unsigned long long>(s.line_search_trials),
              static_cast<unsigned long long>(s.inner_pirls_calls),
              static_cast<unsigned long long>(s.inner_pirls_iterations_total),
              last.converged ? "yes" : "no", shape_values(family, last.shape_params).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Optional argument: the largest n to run (default 1e5).
  const std::size_t max_n = bench::largest_n(argc, argv, 100000u);
  const std::size_t k = 20;
  std::printf("%-8s %-7s %10s %8s %7s %6s %6s %6s %7s %5s  %s\n", "family", "n", "fit [ms]", "XtWX",
              "ratio", "outer", "trials", "fits", "pirls", "conv", "estimate");
  for (std::size_t n : {10000u, 100000u}) {
    if (n > max_n) break;
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::student_t_distribution<double> t4(4.0);
    Matrix x(n, 1);
    Vector yt(n), yw(n, 0.0), w(n, 1.0);
    const double p = 1.6, phi = 2.0, shape = (2.0 - p) / (p - 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      x(i, 0) = u(gen);
      const double f = std::sin(6.283185307179586 * x(i, 0));
      yt[i] = f + 0.3 * t4(gen) + (i % 20 == 3 ? 8.0 : 0.0);
      const double mu = std::exp(0.5 + f);
      const int count =
          std::poisson_distribution<int>(std::pow(mu, 2.0 - p) / (phi * (2.0 - p)))(gen);
      std::gamma_distribution<double> g(shape, phi * (p - 1.0) * std::pow(mu, p - 1.0));
      for (int c = 0; c < count; ++c) yw[i] += g(gen);
    }
    auto design = build_cr_design(x.view(), k);
    if (!design.ok()) {
      std::printf("design failed: %s\n", design.error().display().c_str());
      return 1;
    }
    const double t_xtwx = bench::best_xtwx_seconds(design.value().x.view(), w.data(), 10);
    Tweedie tw = tweedie_log(1.5, 1.0);
    tw.estimate_p = true;
    if (run("scat", design.value(), yt, tdist_identity(5.0, 1.0), t_xtwx, n) ||
        run("tweedie", design.value(), yw, tw, t_xtwx, n))
      return 1;
  }
  return 0;
}

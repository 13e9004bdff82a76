// Timing of complete fits (smoothing-parameter selection, final fit and
// summaries) of one cubic regression smooth with k = 20 for n = 1e3 … 1e6,
// for the gaussian, poisson and bernoulli families, against the time of one
// weighted cross product XᵀWX of the same model matrix.
//
//   cmake -S . -B build/bench -G Ninja -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/bench_fit
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "bench_timing.hpp"
#include "core/blas.hpp"
#include "design/model_design.hpp"
#include "fit/gaussian_driver.hpp"
#include "fit/std_driver.hpp"

namespace {

using namespace quelt;
using bench::Clock;
using bench::seconds_since;

// Best of `reps` runs of f, in seconds; prepare() runs untimed before each.
template <class P, class F>
double best_of(int reps, P&& prepare, F&& f) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    prepare();
    const auto t0 = Clock::now();
    f();
    best = std::min(best, seconds_since(t0));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t max_n = bench::largest_n(argc, argv, 1000000u);
  const std::size_t k = 20;
  std::printf("%-9s %-9s %12s %12s %10s %6s %6s %6s %6s\n", "family", "n", "fit [ms]", "XtWX [ms]",
              "ratio", "iters", "fits", "pirls", "conv");
  for (std::size_t n : {1000u, 10000u, 100000u, 1000000u}) {
    if (n > max_n) break;
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Matrix x(n, 1);
    for (std::size_t i = 0; i < n; ++i) x(i, 0) = u(gen);
    auto design = build_cr_design(x.view(), k);
    if (!design.ok()) {
      std::printf("design failed: %s\n", design.error().display().c_str());
      return 1;
    }
    Vector f(n), w(n, 1.0);
    for (std::size_t i = 0; i < n; ++i) f[i] = std::sin(6.283185307179586 * x(i, 0));
    Vector yg(n), yp(n), yb(n);
    std::normal_distribution<double> z(0.0, 0.3);
    for (std::size_t i = 0; i < n; ++i) {
      yg[i] = f[i] + z(gen);
      yp[i] = std::poisson_distribution<int>(std::exp(0.5 + f[i]))(gen);
      yb[i] = u(gen) < 1.0 / (1.0 + std::exp(-1.5 * f[i])) ? 1.0 : 0.0;
    }
    const int reps = n >= 1000000 ? 2 : (n >= 100000 ? 3 : 10);
    const double t_xtwx = best_of(
        reps * 2, [] {},
        [&] {
          volatile double s = xtwx(design.value().x.view(), w.data())(0, 0);
          (void)s;
        });

    auto report = [&](const char* name, auto&& fit) {
      FittedGam last;
      ModelDesign copy;  // the driver takes its design over; copies are made untimed
      const double t = best_of(
          reps, [&] { copy = design.value(); },
          [&] {
            auto r = fit(std::move(copy));
            if (!r.ok()) {
              std::printf("%s failed: %s\n", name, r.error().display().c_str());
              std::exit(1);
            }
            last = std::move(r).value();
          });
      std::printf("%-9s %-9zu %12.2f %12.3f %10.1f %6llu %6llu %6llu %6s\n", name, n, t * 1e3,
                  t_xtwx * 1e3, t / t_xtwx, static_cast<unsigned long long>(last.n_iters),
                  static_cast<unsigned long long>(last.fit_stats.inner_pirls_calls),
                  static_cast<unsigned long long>(last.fit_stats.inner_pirls_iterations_total),
                  last.converged ? "yes" : "no");
    };
    report("gaussian", [&](ModelDesign d) { return fit_gaussian(std::move(d), yg, std::nullopt); });
    report("poisson",
           [&](ModelDesign d) { return fit_std_family<Poisson>(std::move(d), yp, std::nullopt); });
    report("bernoulli", [&](ModelDesign d) {
      return fit_std_family<Bernoulli>(std::move(d), yb, std::nullopt);
    });
  }
  return 0;
}

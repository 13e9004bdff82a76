// Micro-benchmark: one REML evaluation (inner PIRLS fit, score, analytic
// Hessian with the weight-derivative terms) for a Poisson cubic regression
// smooth with k = 20, and one X^T W X product alone, at n = 1e5 and 1e6.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>

#include "bench_timing.hpp"
#include "core/blas.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "inner/fit_context.hpp"
#include "score/envelope.hpp"

using namespace quelt;

namespace {

using bench::seconds_since;

void run(std::size_t n) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> unif(0.0, 1.0);
  Matrix cov(n, 1);
  Vector y(n);
  for (std::size_t i = 0; i < n; ++i) {
    cov(i, 0) = unif(rng);
    const double mu = std::exp(0.5 + std::sin(6.283185307179586 * cov(i, 0)));
    y[i] = static_cast<double>(std::poisson_distribution<int>(mu)(rng));
  }
  auto design = build_cr_design(cov.view(), 20);
  if (!design.ok()) {
    std::printf("design failed: %s\n", design.error().display().c_str());
    return;
  }
  auto ctx = make_fit_context(design.value(), y, std::nullopt, poisson_log());
  const Vector rho{1.0};

  Vector w(n, 1.0);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 + unif(rng);
  double best_xtwx = 1e300;
  for (int r = 0; r < 5; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    Matrix h = xtwx(ctx.x.view(), w.data());
    best_xtwx = std::fmin(best_xtwx, seconds_since(t0));
    if (h(0, 0) < 0) std::printf("impossible\n");
  }

  double best_eval = 1e300;
  std::uint64_t iters = 0;
  for (int r = 0; r < 3; ++r) {
    FitContext<Poisson> fresh = ctx;  // cold: a copied context has an empty warm-start cell
    const auto t0 = std::chrono::steady_clock::now();
    auto ev = envelope_eval(fresh, rho);
    const double t = seconds_since(t0);
    if (!ev.ok()) {
      std::printf("eval failed: %s\n", ev.error().display().c_str());
      return;
    }
    best_eval = std::fmin(best_eval, t);
    iters = fresh.fit_stats.inner_pirls_iterations_total;
  }
  std::printf(
      "n=%zu p=%zu: envelope_eval %.4f s (%llu PIRLS iterations, cold start), xtwx %.4f s\n", n,
      ctx.x.cols(), best_eval, static_cast<unsigned long long>(iters), best_xtwx);
}

}  // namespace

int main() {
  run(100000);
  run(1000000);
  return 0;
}

#include "score/warm_start.hpp"

#include <cmath>

#include "core/numeric.hpp"

namespace quelt {

namespace {

// Floor of λ on both sides of the log ratio: keeps ln λ finite for a λ that
// underflowed to 0 (its reciprocal 1e300 is finite).
constexpr double kLambdaFloor = 1e-300;

}  // namespace

std::optional<Vector> warm_start_beta(const WarmStartCell& cell, std::size_t m,
                                      std::span<const double> rho) {
  if (rho.size() != m) return std::nullopt;
  auto guard = cell.borrow();
  const std::optional<WarmStartCache>& cache = *guard;
  if (!cache || cache->lambda.size() != m) return std::nullopt;
  Vector beta0 = cache->beta;
  const std::size_t p = beta0.size();
  check_invariant(cache->dbeta_drho.rows() >= p && cache->dbeta_drho.cols() >= m,
                  "warm start: dbeta_drho smaller than p x m");
  for (std::size_t j = 0; j < m; ++j) {
    const double r = std::log(floor_at(std::exp(rho[j]), kLambdaFloor) /
                              floor_at(cache->lambda[j], kLambdaFloor));
    if (!std::isfinite(r)) return std::nullopt;
    for (std::size_t i = 0; i < p; ++i) beta0[i] += r * cache->dbeta_drho(i, j);
  }
  for (double v : beta0)
    if (!std::isfinite(v)) return std::nullopt;
  return beta0;
}

}  // namespace quelt

#include "family/elf.hpp"

#include "core/gamma_functions.hpp"
#include "core/numeric.hpp"

namespace quelt {

namespace {
// Smallest σ and λ the normaliser takes: keeps ln λ and the arguments of
// ln Γ finite.
constexpr double kElfScaleFloor = 1e-12;
}  // namespace

double elf_log_normaliser(double tau, double sigma, double lambda) {
  const double s = floor_at(sigma, kElfScaleFloor);
  const double l = floor_at(lambda, kElfScaleFloor);
  const double a1 = l * (1.0 - tau) / s;
  const double a2 = l * tau / s;
  return (l * tau * std::log(tau)) / s + (l * (1.0 - tau) * std::log(1.0 - tau)) / s - std::log(l) -
         (ln_gamma(a1) + ln_gamma(a2) - ln_gamma(a2 + a1));
}

}  // namespace quelt

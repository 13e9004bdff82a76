#include "score/score_record.hpp"

#include <cstring>
#include <utility>

namespace quelt {

namespace {

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

std::optional<InnerFit> take_prior_fit(std::optional<PriorFit>& prior, std::span<const double> rho,
                                       const std::optional<Vector>& beta0) {
  if (!prior || !same_bits(prior->rho, rho) || prior->beta0.has_value() != beta0.has_value() ||
      (beta0 && !same_bits(*prior->beta0, *beta0)))
    return std::nullopt;
  std::optional<InnerFit> fit = std::move(prior->fit);
  prior.reset();
  return fit;
}

}  // namespace quelt

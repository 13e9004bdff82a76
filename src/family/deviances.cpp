#include "family/deviances.hpp"

#include <string>

namespace quelt {
namespace {

// Σ_i w_i·d(y_i, μ_i) over i = 0..n−1 in index order; an empty w means
// unit weights.
template <class UnitDeviance>
double weighted_sum(std::span<const double> y, std::span<const double> mu,
                    std::span<const double> w, const char* name, UnitDeviance d) {
  const std::size_t n = y.size();
  if (mu.size() < n) {
    invariant_failed(std::string(name) + ": mu holds " + std::to_string(mu.size()) +
                     " entries for " + std::to_string(n) + " responses");
  }
  if (!w.empty() && w.size() < n) {
    invariant_failed(std::string(name) + ": w holds " + std::to_string(w.size()) + " entries for " +
                     std::to_string(n) + " responses");
  }
  double sum = 0.0;
  if (w.empty()) {
    for (std::size_t i = 0; i < n; ++i) sum += d(y[i], mu[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) sum += w[i] * d(y[i], mu[i]);
  }
  return sum;
}

Vector floored_copy(std::span<const double> y, double floor) {
  Vector mu(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) mu[i] = floor_at(y[i], floor);
  return mu;
}

}  // namespace

double binomial_deviance(std::span<const double> y, std::span<const double> mu,
                         std::span<const double> w) {
  return weighted_sum(y, mu, w, "binomial_deviance", binomial_unit_deviance);
}

double poisson_deviance(std::span<const double> y, std::span<const double> mu,
                        std::span<const double> w) {
  return weighted_sum(y, mu, w, "poisson_deviance", poisson_unit_deviance);
}

double negbin_deviance(std::span<const double> y, std::span<const double> mu,
                       std::span<const double> w, double theta) {
  return weighted_sum(y, mu, w, "negbin_deviance", [theta](double yi, double mi) {
    return negbin_unit_deviance(yi, mi, theta);
  });
}

double tweedie_deviance(std::span<const double> y, std::span<const double> mu,
                        std::span<const double> w, double p) {
  return weighted_sum(y, mu, w, "tweedie_deviance",
                      [p](double yi, double mi) { return tweedie_unit_deviance(yi, mi, p); });
}

double gamma_deviance(std::span<const double> y, std::span<const double> mu,
                      std::span<const double> w) {
  return weighted_sum(y, mu, w, "gamma_deviance", gamma_unit_deviance);
}

double inverse_gaussian_deviance(std::span<const double> y, std::span<const double> mu,
                                 std::span<const double> w) {
  return weighted_sum(y, mu, w, "inverse_gaussian_deviance", inverse_gaussian_unit_deviance);
}

double tdist_deviance(std::span<const double> y, std::span<const double> mu,
                      std::span<const double> w, double nu, double sigma2) {
  return weighted_sum(y, mu, w, "tdist_deviance", [nu, sigma2](double yi, double mi) {
    return tdist_unit_deviance(yi, mi, nu, sigma2);
  });
}

Vector binomial_initial_mu(std::span<const double> y) {
  Vector mu(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) mu[i] = (y[i] + 0.5) * 0.5;
  return mu;
}

// Starting means of the log-link count families: a zero count starts at
// 0.1, so ln μ is finite and the first weights are not vanishingly small.
constexpr double kCountStartFloor = 0.1;
// Starting means of the positive continuous families: small against any
// usual response, yet ln μ and the first weights stay finite.
constexpr double kPositiveStartFloor = 0.001;

Vector poisson_initial_mu(std::span<const double> y) { return floored_copy(y, kCountStartFloor); }

Vector gamma_initial_mu(std::span<const double> y) { return floored_copy(y, kPositiveStartFloor); }

Vector tdist_initial_mu(std::span<const double> y) {
  Vector mu(y.size());
  if (y.empty()) return mu;
  double sum = 0.0;
  for (double v : y) sum += v;
  const double ybar = sum / static_cast<double>(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) mu[i] = (ybar + y[i]) * 0.5;
  return mu;
}

}  // namespace quelt

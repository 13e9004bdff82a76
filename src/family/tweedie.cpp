#include "family/tweedie.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/numeric.hpp"
#include "core/gamma_functions.hpp"

namespace quelt {
namespace {

constexpr std::uint64_t kLastIndex = std::numeric_limits<std::uint64_t>::max();
// Series terms whose index lies within this many of the largest starting
// index of a call are tabulated (they recur across observations) ...
constexpr std::uint64_t kTableMargin = 64;
// ... up to this many indices (about 1 MB); terms past it are computed where
// they are used.
constexpr std::uint64_t kTableMax = std::uint64_t{1} << 16;

// The y-free parts of the series terms of one (p, φ):
//   b_j = κ·j − ln Γ(j+1) − ln Γ(−jα)                     (t_j = b_j − α·j·ln y)
//   τ_j = j·[1/(2−p) + (ln(p−1) + ln φ)/(1−p)² − α/(1−p)] + j·ψ(−jα)/(1−p)²
// (τ_j = ∂b_j/∂p). Indices 1..table_end are filled on first use, so that only
// the indices of the summed windows are ever computed; larger ones are
// computed on each use with the same expressions.
class SeriesTerms {
 public:
  SeriesTerms(double p, double phi, bool with_tau, std::uint64_t table_end)
      : alpha_((2.0 - p) / (1.0 - p)),
        kappa_(alpha_ * std::log(p - 1.0) + std::log(phi) / (1.0 - p) - std::log(2.0 - p)),
        tau_lin_(1.0 / (2.0 - p) + (std::log(p - 1.0) + std::log(phi)) / ((1.0 - p) * (1.0 - p)) -
                 alpha_ / (1.0 - p)),
        tau_psi_(1.0 / ((1.0 - p) * (1.0 - p))),
        with_tau_(with_tau) {
    const std::size_t size = static_cast<std::size_t>(table_end) + 1;
    b_.resize(size);
    filled_.assign(size, 0);
    if (with_tau_) tau_.resize(size);
  }

  double alpha() const { return alpha_; }

  double b(std::uint64_t j) {
    if (j < filled_.size()) {
      fill(j);
      return b_[j];
    }
    return b_direct(static_cast<double>(j));
  }
  double tau(std::uint64_t j) {
    if (j < filled_.size()) {
      fill(j);
      return tau_[j];
    }
    return tau_direct(static_cast<double>(j));
  }

 private:
  double b_direct(double j) const { return kappa_ * j - ln_gamma(j + 1.0) - ln_gamma(-j * alpha_); }
  double tau_direct(double j) const { return j * tau_lin_ + j * digamma(-j * alpha_) * tau_psi_; }
  void fill(std::uint64_t j) {
    if (filled_[j]) return;
    const double jd = static_cast<double>(j);
    b_[j] = b_direct(jd);
    if (with_tau_) tau_[j] = tau_direct(jd);
    filled_[j] = 1;
  }

  double alpha_, kappa_, tau_lin_, tau_psi_;
  bool with_tau_;
  std::vector<double> b_, tau_;
  std::vector<unsigned char> filled_;
};

// ⌊y^(2−p)/((2−p)φ)⌋ as a saturating integer, at least 1: the index of the
// (near-)largest series term of y.
std::uint64_t peak_index(double p, double phi, double y) {
  const std::uint64_t f = sat_u64(std::pow(y, 2.0 - p) / ((2.0 - p) * phi));
  return f > 1 ? f : 1;
}

// Walks the summed window of the series of y > 0 (peak, then upward, then
// downward; each run stops after its first term below the cut or at the end
// of the index range) and calls visit(j, e_j) with e_j = exp(t_j − t_{j₀}).
// Returns t_{j₀}; a non-finite t_{j₀} is returned after visiting the peak
// alone.
template <class Visit>
double walk_window(SeriesTerms& terms, double ln_y, std::uint64_t j0, Visit&& visit) {
  const double a = terms.alpha();
  auto t = [&](std::uint64_t j) { return terms.b(j) - a * static_cast<double>(j) * ln_y; };
  const double t0 = t(j0);
  visit(j0, 1.0);
  if (!std::isfinite(t0)) return t0;
  const double cut = t0 - kTweedieSeriesCut;
  for (std::uint64_t j = j0; j < kLastIndex;) {
    ++j;
    const double tj = t(j);
    visit(j, std::exp(tj - t0));
    if (!(tj >= cut)) break;
  }
  for (std::uint64_t j = j0; j > 1;) {
    --j;
    const double tj = t(j);
    visit(j, std::exp(tj - t0));
    if (!(tj >= cut)) break;
  }
  return t0;
}

bool has_series(double p) { return p > 1.0 && p < 2.0; }

// A(y) − ln y + ln W(y) for y > 0.
double saturated(SeriesTerms& terms, double p, double phi, double y) {
  const double a = std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p) * phi);
  const double ln_y = std::log(y);
  if (!has_series(p)) return a - ln_y;
  double s = 0.0;
  const double t0 =
      walk_window(terms, ln_y, peak_index(p, phi, y), [&](std::uint64_t, double e) { s += e; });
  return a - ln_y + (t0 + std::log(s));
}

// Largest peak index over the observations with y > 0, plus the table margin,
// capped at the table size.
std::uint64_t table_end(double p, double phi, std::span<const double> y) {
  if (!has_series(p)) return 0;
  std::uint64_t top = 1;
  for (double v : y)
    if (v > 0.0) {
      const std::uint64_t j = peak_index(p, phi, v);
      if (j > top) top = j;
    }
  return top >= kTableMax - kTableMargin ? kTableMax : top + kTableMargin;
}

void check_lengths(const char* what, std::size_t n, std::span<const double> mu, bool need_mu,
                   std::span<const double> w) {
  if (need_mu && mu.size() < n)
    invariant_failed(std::string(what) + ": mu holds " + std::to_string(mu.size()) +
                     " entries for " + std::to_string(n) + " responses");
  if (!w.empty() && w.size() < n)
    invariant_failed(std::string(what) + ": w holds " + std::to_string(w.size()) + " entries for " +
                     std::to_string(n) + " responses");
}

// ∂d/∂p of the unit deviance at μ' = max(μ, 1e-300). With
// d/2 = (y^(2−p) − y·μ'^(1−p))/(1−p) + (μ'^(2−p) − y^(2−p))/(2−p) for y > 0
// and d/2 = μ'^(2−p)/(2−p) otherwise.
double unit_deviance_dp(double y, double mu, double p) {
  const double m = floor_at(mu, kMeanFloor);
  const double lm = std::log(m);
  const double m2p = std::pow(m, 2.0 - p);
  const double q = 1.0 / (1.0 - p), r = 1.0 / (2.0 - p);
  if (!(y > 0.0)) return 2.0 * (r * r * m2p - r * lm * m2p);
  const double y2p = std::pow(y, 2.0 - p), ly = std::log(y);
  const double ym1p = y * std::pow(m, 1.0 - p);
  return 2.0 * (q * (ym1p * lm - y2p * ly) + r * (y2p * ly - lm * m2p) + q * q * (y2p - ym1p) -
                r * r * (y2p - m2p));
}

}  // namespace

double tweedie_saturated_loglik(double p, double phi, double y) {
  if (!(y > 0.0)) return 0.0;
  const double phi_f = floor_at(phi, kTweedieDispersionFloor);
  SeriesTerms terms(p, phi_f, false, 0);
  return saturated(terms, p, phi_f, y);
}

double tweedie_saturated_loglik_sum(double p, double phi, std::span<const double> y,
                                    std::span<const double> w) {
  const std::size_t n = y.size();
  check_lengths("tweedie_saturated_loglik_sum", n, {}, false, w);
  const double phi_f = floor_at(phi, kTweedieDispersionFloor);
  SeriesTerms terms(p, phi_f, false, table_end(p, phi_f, y));
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(y[i] > 0.0)) continue;
    const double ls = saturated(terms, p, phi_f, y[i]);
    sum += w.empty() ? ls : w[i] * ls;
  }
  return sum;
}

Vector analytic_shape_score_gradient(const Tweedie& family, bool profile_p,
                                     std::span<const double> y, std::span<const double> mu,
                                     std::span<const double> w, double dp, double m) {
  const std::size_t n = y.size();
  check_lengths("analytic_shape_score_gradient", n, mu, true, w);
  const double p = family.p;
  const double phi = floor_at(family.phi, kTweedieDispersionFloor);
  const bool series = has_series(p);
  SeriesTerms terms(p, phi, profile_p, table_end(p, phi, y));
  const double q = 1.0 / (1.0 - p), r = 1.0 / (2.0 - p);

  // Weighted sums of A, ∂A/∂p, ∂ln W/∂ln φ, ∂ln W/∂p and ∂d/∂p.
  double sum_a = 0.0, sum_ap = 0.0, sum_wphi = 0.0, sum_wp = 0.0, sum_dp = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w.empty() ? 1.0 : w[i];
    if (profile_p) sum_dp += wi * unit_deviance_dp(y[i], mu[i], p);
    if (!(y[i] > 0.0)) continue;
    const double ya = std::pow(y[i], 2.0 - p) / phi;
    const double ln_y = std::log(y[i]);
    sum_a += wi * (ya / ((1.0 - p) * (2.0 - p)));
    if (profile_p) sum_ap += wi * (ya * (q * q - r * r - (q - r) * ln_y));
    if (!series) continue;
    // With e_j the window's terms relative to the peak and S = Σ e_j:
    // ∂ln W/∂ln φ = Σ e_j·j/((1−p)S) and ∂ln W/∂p = Σ e_j·(τ_j − j·ln y/(1−p)²)/S.
    double s = 0.0, sj = 0.0, st = 0.0;
    const double ln_y_dp = ln_y * q * q;
    walk_window(terms, ln_y, peak_index(p, phi, y[i]), [&](std::uint64_t j, double e) {
      const double jd = static_cast<double>(j);
      s += e;
      sj += e * jd;
      if (profile_p) st += e * (terms.tau(j) - jd * ln_y_dp);
    });
    sum_wphi += wi * (sj * q / s);
    if (profile_p) sum_wp += wi * (st / s);
  }

  const double n_minus_m = static_cast<double>(n) - m;
  Vector g{-0.5 * n_minus_m - dp / (2.0 * phi) + sum_a - sum_wphi};
  if (profile_p) g.push_back((p - 1.0) * (2.0 - p) * (sum_dp / (2.0 * phi) - sum_ap - sum_wp));
  return g;
}

}  // namespace quelt

// The module functions `fit` and `fit_additive`: argument conversion, the
// family table with each family's argument checks, and (for fit_additive)
// the parsing of the term list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "python/pyref.hpp"

namespace quelt::py {

// One family of the table; several names may select the same kind.
enum class FamilyKind : std::uint8_t {
  Gaussian,         // "gaussian"
  Bernoulli,        // "bernoulli", "binomial"
  Poisson,          // "poisson"
  QuasiPoisson,     // "quasipoisson"
  QuasiBinomial,    // "quasibinomial"
  GammaInverse,     // "Gamma"
  GammaLog,         // "gamma"
  InverseGaussian,  // "inverse_gaussian", "inverse.gaussian"
  NegBin,           // "negbin", "nb"
  TDist,            // "tdist", "scat"
  Tweedie,          // "tweedie", "tw"
  Ocat,             // "ocat"
  Elf,              // "elf", "quantile"
};

// The family arguments shared by fit and fit_additive, after conversion and
// defaulting (None or absent gives the default; tweedie_p and r stay absent).
struct FamilyArgs {
  double theta = 2.0;
  double nu = 5.0;
  double sigma2 = 1.0;
  std::optional<double> tweedie_p;
  double tweedie_phi = 1.0;
  std::optional<std::uint64_t> r;
  double tau = 0.5;
  double elf_sigma = 0.0;
  double elf_lambda = 0.0;
};

// The family chosen by name with its checked parameters, ready for a driver.
struct FamilyChoice {
  FamilyKind kind = FamilyKind::Gaussian;
  std::string name;  // the name as the caller gave it
  // NegBin: starting theta.
  double theta = 2.0;
  // TDist: starting degrees of freedom and scale (checked by the driver).
  double nu = 5.0;
  double sigma2 = 1.0;
  // Tweedie: power p (fixed, or 1.5 as the start of an estimated p), starting
  // phi (checked by the driver) and whether p is estimated.
  double tweedie_p = 1.5;
  double tweedie_phi = 1.0;
  bool tweedie_estimate_p = true;
  // Ocat: number of categories and the n_cats - 2 starting log gaps (zeros).
  std::uint64_t ocat_n_cats = 0;
  std::vector<double> ocat_thresholds;
  // Elf: level and smoothing constants (a sigma or lambda not > 0 is tuned by
  // the driver).
  double tau = 0.5;
  double elf_sigma = 0.0;
  double elf_lambda = 0.0;
};

// The kind named by `name` (exact, case-sensitive, byte for byte), if any.
std::optional<FamilyKind> family_kind_from_name(std::string_view name);

// Looks the name up and runs the family's argument checks (InvalidParameter
// with the user-facing messages). Builds the family's parameters.
Result<FamilyChoice> choose_family(std::string_view name, const FamilyArgs& args);

// fit(family_name, x, y, weights=None, k=10, design="cr", theta=None, nu=None,
//     sigma2=None, tweedie_p=None, tweedie_phi=None, r=None, tau=None,
//     elf_sigma=None, elf_lambda=None)
PyObject* py_fit(PyObject* self, PyObject* args, PyObject* kwargs);

// fit_additive(family_name, x, y, terms, weights=None, theta=None, nu=None,
//     sigma2=None, tweedie_p=None, tweedie_phi=None, r=None, tau=None,
//     elf_sigma=None, elf_lambda=None)
PyObject* py_fit_additive(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quelt::py

#include "python/fit_args.hpp"

#include <array>
#include <utility>

#include "core/format.hpp"
#include "core/matrix.hpp"
#include "design/additive.hpp"
#include "design/confounding.hpp"
#include "design/model_design.hpp"
#include "family/families.hpp"
#include "fit/driver_common.hpp"
#include "fit/quantile_driver.hpp"
#include "python/convert.hpp"
#include "python/dispatch.hpp"
#include "python/errors.hpp"
#include "python/terms.hpp"

namespace quelt::py {

namespace {

struct NamedKind {
  std::string_view name;
  FamilyKind kind;
};

constexpr std::array<NamedKind, 19> kFamilyTable{{
    {"gaussian", FamilyKind::Gaussian},
    {"bernoulli", FamilyKind::Bernoulli},
    {"binomial", FamilyKind::Bernoulli},
    {"poisson", FamilyKind::Poisson},
    {"quasipoisson", FamilyKind::QuasiPoisson},
    {"quasibinomial", FamilyKind::QuasiBinomial},
    {"Gamma", FamilyKind::GammaInverse},
    {"gamma", FamilyKind::GammaLog},
    {"inverse_gaussian", FamilyKind::InverseGaussian},
    {"inverse.gaussian", FamilyKind::InverseGaussian},
    {"negbin", FamilyKind::NegBin},
    {"nb", FamilyKind::NegBin},
    {"tdist", FamilyKind::TDist},
    {"scat", FamilyKind::TDist},
    {"tweedie", FamilyKind::Tweedie},
    {"tw", FamilyKind::Tweedie},
    {"ocat", FamilyKind::Ocat},
    {"elf", FamilyKind::Elf},
    {"quantile", FamilyKind::Elf},
}};

// Converts the nine family arguments in parameter order. A float whose
// default is a value takes it for None as well as for an absent argument.
FamilyArgs convert_family_args(PyObject* theta, PyObject* nu, PyObject* sigma2, PyObject* tweedie_p,
                               PyObject* tweedie_phi, PyObject* r, PyObject* tau,
                               PyObject* elf_sigma, PyObject* elf_lambda) {
  FamilyArgs a;
  auto float_or = [](PyObject* o, const char* name, double dflt) {
    return is_absent_or_none(o) ? dflt : to_f64(o, name);
  };
  a.theta = float_or(theta, "theta", 2.0);
  a.nu = float_or(nu, "nu", 5.0);
  a.sigma2 = float_or(sigma2, "sigma2", 1.0);
  if (!is_absent_or_none(tweedie_p)) a.tweedie_p = to_f64(tweedie_p, "tweedie_p");
  a.tweedie_phi = float_or(tweedie_phi, "tweedie_phi", 1.0);
  if (!is_absent_or_none(r)) a.r = to_u64(r, "r");
  a.tau = float_or(tau, "tau", 0.5);
  a.elf_sigma = float_or(elf_sigma, "elf_sigma", 0.0);
  a.elf_lambda = float_or(elf_lambda, "elf_lambda", 0.0);
  return a;
}

std::optional<Vector> optional_vector(PyObject* o, const char* name) {
  if (is_absent_or_none(o)) return std::nullopt;
  return to_vector(o, name);
}

// A model needs data: checked after the family's own checks, before any
// design is built.
void check_has_rows(const Matrix& x) { unwrap(quelt::check_has_rows(x.rows())); }

// What may make a fit's penalized system singular, said when it is: the
// terms that may be confounded (for several terms, named where known) and the
// bases with fewer distinct covariate values than their k.
struct SingularHints {
  bool several_terms = false;
  std::vector<std::string> confounded;
  std::vector<std::string> few_values;
};

// Runs the fit; a singular penalized system gets the hints appended.
PyObject* fit_with_hints(const FamilyChoice& family, ModelDesign&& design, std::size_t n_rows,
                         Vector&& y, std::optional<Vector>&& weights, const SingularHints& hints) {
  try {
    return dispatch_fit(family, std::move(design), n_rows, std::move(y), std::move(weights));
  } catch (QueltError& e) {
    if (e.kind == QueltError::Kind::SingularSystem) {
      if (hints.several_terms || !hints.confounded.empty()) {
        e.message += "; the terms may be confounded";
        for (std::size_t i = 0; i < hints.confounded.size(); ++i)
          e.message += (i ? "; " : ": ") + hints.confounded[i];
      }
      for (const std::string& h : hints.few_values) e.message += "; " + h;
    }
    throw;
  }
}

// The quantile fit checks its data before the design is built, so that an
// empty or non-finite response is reported as such.
void check_data_before_design(const FamilyChoice& family, std::size_t n_rows, const Vector& y,
                              const std::optional<Vector>& weights) {
  if (family.kind == FamilyKind::Elf)
    unwrap(check_quantile_data(n_rows, y, weights,
                               elf_identity(family.tau, family.elf_sigma, family.elf_lambda)));
}

}  // namespace

std::optional<FamilyKind> family_kind_from_name(std::string_view name) {
  for (const auto& e : kFamilyTable)
    if (e.name == name) return e.kind;
  return std::nullopt;
}

Result<FamilyChoice> choose_family(std::string_view name, const FamilyArgs& args) {
  auto kind = family_kind_from_name(name);
  if (!kind)
    return QueltError::invalid_parameter(
        "unknown family " + quoted(name) +
        "; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, gamma, Gamma, "
        "inverse_gaussian, negbin, tdist, tweedie, ocat, elf");
  FamilyChoice c;
  c.kind = *kind;
  c.name = std::string(name);
  switch (*kind) {
    case FamilyKind::Ocat:
      if (!args.r)
        return QueltError::invalid_parameter(
            "family='ocat' requires r=K (number of ordered categories, K >= 3)");
      if (*args.r < 3)
        return QueltError::invalid_parameter("ocat requires r >= 3, got r=" + fmt_uint(*args.r));
      c.ocat_n_cats = *args.r;
      // r - 2 starting log gaps; a count beyond memory is MemoryError.
      try {
        c.ocat_thresholds.assign(static_cast<std::size_t>(*args.r - 2), 0.0);
      } catch (const std::exception&) {
        throw OutOfMemory("ocat with r = " + fmt_uint(*args.r) + " needs " + fmt_uint(*args.r - 2) +
                          " starting thresholds (" +
                          fmt_gigabytes(8.0 * static_cast<double>(*args.r - 2)) +
                          "), more than can be allocated");
      }
      break;
    case FamilyKind::Elf:
      if (!(args.tau > 0.0 && args.tau < 1.0))
        return QueltError::invalid_parameter("elf/quantile tau must be in (0, 1); got tau=" +
                                             fmt_float(args.tau));
      c.tau = args.tau;
      c.elf_sigma = args.elf_sigma;
      c.elf_lambda = args.elf_lambda;
      break;
    case FamilyKind::Tweedie:
      if (args.tweedie_p) {
        const double p = *args.tweedie_p;
        if (!(p > 1.0 && p < 2.0))
          return QueltError::invalid_parameter("tweedie fixed p must be in (1, 2); got tweedie_p=" +
                                               fmt_float(p));
        c.tweedie_p = p;
        c.tweedie_estimate_p = false;
      } else {
        c.tweedie_p = 1.5;
        c.tweedie_estimate_p = true;
      }
      c.tweedie_phi = args.tweedie_phi;
      break;
    case FamilyKind::NegBin:
      // theta <= 0 only: a NaN passes on to the driver, which rejects it.
      if (args.theta <= 0.0)
        return QueltError::invalid_parameter("negbin theta must be > 0; got theta=" +
                                             fmt_float(args.theta));
      c.theta = args.theta;
      break;
    case FamilyKind::TDist:
      c.nu = args.nu;
      c.sigma2 = args.sigma2;
      break;
    default:
      break;
  }
  return c;
}

PyObject* py_fit(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    static const char* kwlist[] = {"family_name", "x",         "y",           "weights",
                                   "k",           "design",    "theta",       "nu",
                                   "sigma2",      "tweedie_p", "tweedie_phi", "r",
                                   "tau",         "elf_sigma", "elf_lambda",  nullptr};
    PyObject* o[15] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OOOOOOOOOOOO:fit",
                                     const_cast<char**>(kwlist), &o[0], &o[1], &o[2], &o[3], &o[4],
                                     &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                                     &o[13], &o[14]))
      throw_pyerr();

    // Every argument is converted, in parameter order, before any is used;
    // arrays are copied as they are converted.
    const std::string family_name = to_str(o[0], "family_name");
    Matrix x = to_matrix(o[1], "x");
    Vector y = to_vector(o[2], "y");
    std::optional<Vector> weights = optional_vector(o[3], "weights");
    const std::uint64_t k = is_absent(o[4]) ? 10 : to_u64(o[4], "k");
    const std::string design = is_absent(o[5]) ? std::string("cr") : to_str(o[5], "design");
    const FamilyArgs fargs =
        convert_family_args(o[6], o[7], o[8], o[9], o[10], o[11], o[12], o[13], o[14]);

    FamilyChoice family = unwrap(choose_family(family_name, fargs));
    check_data_before_design(family, x.rows(), y, weights);
    check_has_rows(x);
    ModelDesign built;
    if (design == "cr") {
      built = unwrap(build_cr_design(x.view(), static_cast<std::size_t>(k)));
    } else if (design == "re") {
      built = unwrap(build_re_design(x.view()));
    } else if (design == "cr_stable") {
      built = unwrap(build_cr_stable_design(x.view(), static_cast<std::size_t>(k)));
    } else {
      raise(PyExc_ValueError, "design must be 'cr', 're', or 'cr_stable'; got " + quoted(design));
    }
    const std::size_t n_rows = x.rows();
    SingularHints hints;
    if (design != "re") {
      const TermSpec smooth{TermSpec::Cr{0, static_cast<std::size_t>(k)}};
      hints.few_values = bases_with_few_values({&smooth, 1}, x.view(), 1, false);
    }
    // The copy of x is no longer needed once the design holds its model matrix.
    x = Matrix();
    return fit_with_hints(family, std::move(built), n_rows, std::move(y), std::move(weights),
                          hints);
  });
}

PyObject* py_fit_additive(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    static const char* kwlist[] = {"family_name", "x",   "y",         "terms",      "weights",
                                   "theta",       "nu",  "sigma2",    "tweedie_p",  "tweedie_phi",
                                   "r",           "tau", "elf_sigma", "elf_lambda", nullptr};
    PyObject* o[14] = {};
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "OOOO|OOOOOOOOOO:fit_additive", const_cast<char**>(kwlist), &o[0], &o[1],
            &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12], &o[13]))
      throw_pyerr();

    const std::string family_name = to_str(o[0], "family_name");
    Matrix x = to_matrix(o[1], "x");
    Vector y = to_vector(o[2], "y");
    PyObject* terms = o[3];
    if (!PyList_Check(terms)) {
      PyErr_Format(PyExc_TypeError, "argument 'terms': expected list, got %s",
                   Py_TYPE(terms)->tp_name);
      throw_pyerr();
    }
    std::optional<Vector> weights = optional_vector(o[4], "weights");
    const FamilyArgs fargs =
        convert_family_args(o[5], o[6], o[7], o[8], o[9], o[10], o[11], o[12], o[13]);

    // Term errors come before family errors.
    std::vector<TermSpec> specs = parse_terms(terms);
    FamilyChoice family = unwrap(choose_family(family_name, fargs));
    check_data_before_design(family, x.rows(), y, weights);
    check_has_rows(x);
    ModelDesign built = unwrap(build_additive_design(specs, x.view()));
    const std::size_t n_rows = x.rows();
    SingularHints hints{specs.size() > 1, possibly_confounded_terms(specs, x.view(), 3),
                        bases_with_few_values(specs, x.view(), 3, true)};
    specs.clear();
    x = Matrix();
    return fit_with_hints(family, std::move(built), n_rows, std::move(y), std::move(weights),
                          hints);
  });
}

}  // namespace quelt::py

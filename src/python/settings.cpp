#include "python/settings.hpp"

#include <string>

#include "core/format.hpp"
#include "outer/settings.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace quelt::py {

namespace {

// Tolerances filled in for an omitted argument, and the fixed iteration limit
// and largest step of every override.
constexpr double kDefaultGradTol = 5e-7;
constexpr double kDefaultRemlTol = 1e-7;
constexpr std::uint64_t kOverrideMaxIter = 200;
constexpr double kOverrideMaxStep = 5.0;

}  // namespace

PyObject* py_set_outer_algorithm(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    static const char* kwlist[] = {"algorithm", nullptr};
    PyObject* algorithm_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:set_outer_algorithm",
                                     const_cast<char**>(kwlist), &algorithm_obj))
      throw_pyerr();
    if (is_absent_or_none(algorithm_obj)) {
      set_outer_algorithm(kOuterUnset);
      Py_RETURN_NONE;
    }
    const std::string name = to_str(algorithm_obj, "algorithm");
    if (name == "REML" || name == "Newton") {
      set_outer_algorithm(kOuterNewton);
    } else if (name == "fREML" || name == "FellnerSchall" || name == "fellner-schall") {
      set_outer_algorithm(kOuterFellnerSchall);
    } else {
      raise(PyExc_ValueError, "algorithm must be 'REML' or 'fREML' (got " + quoted(name) + ")");
    }
    Py_RETURN_NONE;
  });
}

PyObject* py_set_outer_tuning_override(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    static const char* kwlist[] = {"grad_tol", "reml_tol", nullptr};
    PyObject* grad_obj = nullptr;
    PyObject* reml_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:set_outer_tuning_override",
                                     const_cast<char**>(kwlist), &grad_obj, &reml_obj))
      throw_pyerr();
    if (is_absent_or_none(grad_obj) && is_absent_or_none(reml_obj)) {
      set_outer_tuning_override(std::nullopt);
      Py_RETURN_NONE;
    }
    // Both are converted before anything is stored, so a failure leaves the
    // previous override in place. No range test: the values are stored as
    // given.
    const double grad_tol =
        is_absent_or_none(grad_obj) ? kDefaultGradTol : to_f64(grad_obj, "grad_tol");
    const double reml_tol =
        is_absent_or_none(reml_obj) ? kDefaultRemlTol : to_f64(reml_obj, "reml_tol");
    set_outer_tuning_override(OuterOptions{grad_tol, reml_tol, kOverrideMaxIter, kOverrideMaxStep});
    Py_RETURN_NONE;
  });
}

}  // namespace quelt::py

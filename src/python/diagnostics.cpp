#include "python/diagnostics.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fit/score_diagnostics.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fitted_gam.hpp"

namespace quelt::py {

namespace {

// The arguments every diagnostic shares, converted in parameter order.
struct DiagnosticArgs {
  Vector y;
  Matrix x;
  Vector theta;
  std::vector<std::size_t> k_per_term;
};

// A sequence (list, tuple, array, ...) of non-negative integers. The items
// are read from a tuple copy, so code run by an item's conversion cannot
// change what is read.
std::vector<std::size_t> to_index_list(PyObject* obj, const char* name) {
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of integers, got %s", name,
                 Py_TYPE(obj)->tp_name);
    throw_pyerr();
  }
  PyRef items = PyRef::steal(PySequence_Tuple(obj));
  if (!items) throw_pyerr();
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  std::vector<std::size_t> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    out.push_back(static_cast<std::size_t>(
        index_to_u64(PyTuple_GET_ITEM(items.get(), i),
                     std::string("argument '") + name + "' item " + std::to_string(i))));
  return out;
}

DiagnosticArgs convert_args(PyObject* y, PyObject* x, PyObject* theta, PyObject* k_per_term) {
  DiagnosticArgs a;
  a.y = to_vector(y, "y");
  a.x = to_matrix(x, "x");
  a.theta = to_vector(theta, "theta");
  a.k_per_term = to_index_list(k_per_term, "k_per_term");
  return a;
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  if (!v || PyDict_SetItemString(dict, key, v.get()) != 0) throw_pyerr();
}

PyObject* float_list(const Vector& v) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) throw_pyerr();
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (f == nullptr) throw_pyerr();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

// The keys of a dict, in insertion order: score, beta, eta, mu, deviance,
// bsb_total, bsb_per_term, dp, log_det_h, log_det_lambda_s, ls, the shape
// values named by `shape_names`, mp, iters, converged. The ordered-categorical
// dict (`ordinal`) has no mu, dp, ls or shape values and ends with grad_rho.
PyObject* components_dict(const ScoreDiagnostic& d, std::initializer_list<const char*> shape_names,
                          bool ordinal = false) {
  check_invariant(shape_names.size() == d.shape.size(), "score diagnostic: shape value count");
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) throw_pyerr();
  PyObject* o = dict.get();
  set_item(o, "score", PyFloat_FromDouble(d.score));
  set_item(o, "beta", new_array(d.beta).release());
  set_item(o, "eta", new_array(d.eta).release());
  if (!ordinal) set_item(o, "mu", new_array(d.mu).release());
  set_item(o, "deviance", PyFloat_FromDouble(d.deviance));
  set_item(o, "bsb_total", PyFloat_FromDouble(d.bsb_total));
  set_item(o, "bsb_per_term", float_list(d.bsb_per_term));
  if (!ordinal) set_item(o, "dp", PyFloat_FromDouble(d.dp));
  set_item(o, "log_det_h", PyFloat_FromDouble(d.log_det_h));
  set_item(o, "log_det_lambda_s", PyFloat_FromDouble(d.log_det_lambda_s));
  if (!ordinal) set_item(o, "ls", PyFloat_FromDouble(d.ls));
  std::size_t i = 0;
  for (const char* name : shape_names) set_item(o, name, PyFloat_FromDouble(d.shape[i++]));
  set_item(o, "mp", PyLong_FromSize_t(d.null_space_dim));
  set_item(o, "iters", PyLong_FromSize_t(d.iterations));
  set_item(o, "converged", PyBool_FromLong(d.converged));
  if (ordinal) set_item(o, "grad_rho", float_list(d.grad_rho));
  return dict.release();
}

// Parses the four arguments (y, x, theta, k_per_term); `format` ends with
// ":<method name>" for the interpreter's messages.
DiagnosticArgs parse_args(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* kwlist[] = {"y", "x", "theta", "k_per_term", nullptr};
  PyObject* o[4] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &o[0], &o[1],
                                   &o[2], &o[3]))
    throw_pyerr();
  return convert_args(o[0], o[1], o[2], o[3]);
}

}  // namespace

PyObject* py_evaluate_reml_at_tweedie(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    DiagnosticArgs a = parse_args(args, kwargs, "OOOO:evaluate_reml_at_tweedie");
    const ScoreDiagnostic d =
        unwrap(tweedie_score_diagnostic(a.x.view(), std::move(a.y), a.theta, a.k_per_term));
    return components_dict(d, {"phi", "p"});
  });
}

PyObject* py_evaluate_reml_at_scat(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    DiagnosticArgs a = parse_args(args, kwargs, "OOOO:evaluate_reml_at_scat");
    const ScoreDiagnostic d =
        unwrap(scat_score_diagnostic(a.x.view(), std::move(a.y), a.theta, a.k_per_term));
    return components_dict(d, {"nu", "sigma2"});
  });
}

PyObject* py_evaluate_reml_at_negbin(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    DiagnosticArgs a = parse_args(args, kwargs, "OOOO:evaluate_reml_at_negbin");
    const ScoreDiagnostic d =
        unwrap(negbin_score_diagnostic(a.x.view(), std::move(a.y), a.theta, a.k_per_term));
    return components_dict(d, {"theta"});
  });
}

PyObject* py_evaluate_reml_at_ocat(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    static const char* kwlist[] = {"y", "x", "theta", "n_cats", "k_per_term", nullptr};
    PyObject* o[5] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:evaluate_reml_at_ocat",
                                     const_cast<char**>(kwlist), &o[0], &o[1], &o[2], &o[3], &o[4]))
      throw_pyerr();
    Vector y = to_vector(o[0], "y");
    const Matrix x = to_matrix(o[1], "x");
    const Vector theta = to_vector(o[2], "theta");
    const std::uint64_t n_cats = to_u64(o[3], "n_cats");
    const std::vector<std::size_t> k_per_term = to_index_list(o[4], "k_per_term");
    const ScoreDiagnostic d = unwrap(ocat_score_diagnostic(
        x.view(), std::move(y), theta, static_cast<std::size_t>(n_cats), k_per_term));
    return components_dict(d, {}, true);
  });
}

}  // namespace quelt::py

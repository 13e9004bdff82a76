// Prediction methods of FittedGam: the model matrix for new covariates, the
// linear predictor, the mean on the response scale, Wald intervals on either
// scale and Wald intervals for differences of the linear predictor. Each takes
// the shared borrow for the whole call and never changes the model.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelt::py {

// evaluate_lpmatrix(x_new) -> (n_new, p) array.
PyObject* py_evaluate_lpmatrix(PyObject* self, PyObject* args, PyObject* kwargs);
// predict(x_new) -> X·beta.
PyObject* py_predict(PyObject* self, PyObject* args, PyObject* kwargs);
// predict_response(x_new) -> inverse link of X·beta.
PyObject* py_predict_response(PyObject* self, PyObject* args, PyObject* kwargs);
// predict_ci(x_new, level=0.95, scale="response") -> (mean, lo, hi).
PyObject* py_predict_ci(PyObject* self, PyObject* args, PyObject* kwargs);
// predict_diff(x_a, x_b, level=0.95) -> (diff, lo, hi) on the link scale.
PyObject* py_predict_diff(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quelt::py

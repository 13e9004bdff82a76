// Score diagnostics of the shape families as FittedGam methods: each refits
// once at the caller's θ on the design built from the caller's covariates
// (fit/score_diagnostics.hpp) and returns a new dict of the score and its
// parts. Nothing of the model they are called on is read; they take its
// shared borrow for the call, before converting their arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelt::py {

// evaluate_reml_at_tweedie(y, x, theta, k_per_term) -> dict with the keys
// score, beta, eta, mu, deviance, bsb_total, bsb_per_term, dp, log_det_h,
// log_det_lambda_s, ls, phi, p, mp, iters, converged.
PyObject* py_evaluate_reml_at_tweedie(PyObject* self, PyObject* args, PyObject* kwargs);
// evaluate_reml_at_scat(y, x, theta, k_per_term) -> dict with the keys of
// the Tweedie dict, nu and sigma2 in place of phi and p.
PyObject* py_evaluate_reml_at_scat(PyObject* self, PyObject* args, PyObject* kwargs);
// evaluate_reml_at_negbin(y, x, theta, k_per_term) -> dict with the keys of
// the Tweedie dict, theta in place of phi and p.
PyObject* py_evaluate_reml_at_negbin(PyObject* self, PyObject* args, PyObject* kwargs);
// evaluate_reml_at_ocat(y, x, theta, n_cats, k_per_term) -> dict with the
// keys score, beta, eta, deviance, bsb_total, bsb_per_term, log_det_h,
// log_det_lambda_s, mp, iters, converged, grad_rho.
PyObject* py_evaluate_reml_at_ocat(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quelt::py

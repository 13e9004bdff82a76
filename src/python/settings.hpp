// Module functions that write the calling thread's outer-optimisation
// settings (outer/settings.hpp).
#pragma once

#include "python/pyref.hpp"

namespace quelt::py {

// set_outer_algorithm(algorithm=None)
PyObject* py_set_outer_algorithm(PyObject* self, PyObject* args, PyObject* kwargs);
// set_outer_tuning_override(grad_tol=None, reml_tol=None)
PyObject* py_set_outer_tuning_override(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quelt::py

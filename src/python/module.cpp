// The extension module quelt._quelt_native: the FittedGam class and the four
// module functions, each name also listed in __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/fit_args.hpp"
#include "python/fitted_gam.hpp"
#include "python/pyref.hpp"
#include "python/settings.hpp"

namespace {

using quelt::py::PyRef;

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef fit_def = {
    "fit", as_cfunction<quelt::py::py_fit>(), METH_VARARGS | METH_KEYWORDS,
    "fit($module, /, family_name, x, y, weights=None, k=10, design='cr', theta=None, nu=None, "
    "sigma2=None, tweedie_p=None, tweedie_phi=None, r=None, tau=None, elf_sigma=None, "
    "elf_lambda=None)\n--\n\n"
    "Fit a model with one smooth of the first column of x."};

PyMethodDef fit_additive_def = {
    "fit_additive", as_cfunction<quelt::py::py_fit_additive>(), METH_VARARGS | METH_KEYWORDS,
    "fit_additive($module, /, family_name, x, y, terms, weights=None, theta=None, nu=None, "
    "sigma2=None, tweedie_p=None, tweedie_phi=None, r=None, tau=None, elf_sigma=None, "
    "elf_lambda=None)\n--\n\n"
    "Fit an additive model; terms is a list of (col, basis_name[, k]) tuples."};

PyMethodDef set_outer_tuning_override_def = {
    "set_outer_tuning_override", as_cfunction<quelt::py::py_set_outer_tuning_override>(),
    METH_VARARGS | METH_KEYWORDS,
    "set_outer_tuning_override($module, /, grad_tol=None, reml_tol=None)\n--\n\n"
    "Replace the outer Newton tolerances of later fits on this thread; both None removes the "
    "override."};

PyMethodDef set_outer_algorithm_def = {
    "set_outer_algorithm", as_cfunction<quelt::py::py_set_outer_algorithm>(),
    METH_VARARGS | METH_KEYWORDS,
    "set_outer_algorithm($module, /, algorithm=None)\n--\n\n"
    "Choose the outer algorithm of later fits on this thread: 'REML'/'Newton', "
    "'fREML'/'FellnerSchall'/'fellner-schall', or None for the default."};

// m_size 0: the module has no per-module state, and the interpreter calls the
// init function again on a re-import, which hands back the one module object.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quelt_native",
    "Native core of quelt.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The one module object of the process and the interpreter that created it.
PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

int append_to_all(PyObject* all, const char* name) {
  PyRef s = PyRef::steal(PyUnicode_FromString(name));
  if (!s) return -1;
  return PyList_Append(all, s.get());
}

int add_function(PyObject* module, PyObject* all, PyMethodDef* def) {
  PyRef modname = PyRef::steal(PyModule_GetNameObject(module));
  if (!modname) return -1;
  PyRef f = PyRef::steal(PyCFunction_NewEx(def, module, modname.get()));
  if (!f) return -1;
  if (PyModule_AddObjectRef(module, def->ml_name, f.get()) < 0) return -1;
  return append_to_all(all, def->ml_name);
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  if (!quelt::py::add_fitted_gam_type(module.get()) || append_to_all(all.get(), "FittedGam") < 0)
    return nullptr;
  if (add_function(module.get(), all.get(), &fit_def) < 0 ||
      add_function(module.get(), all.get(), &fit_additive_def) < 0 ||
      add_function(module.get(), all.get(), &set_outer_tuning_override_def) < 0 ||
      add_function(module.get(), all.get(), &set_outer_algorithm_def) < 0)
    return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__quelt_native(void) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return nullptr;
  if (g_interpreter_id >= 0 && id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "quelt._quelt_native can be imported by one interpreter per process only; "
                    "it is already loaded in another interpreter");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  g_interpreter_id = id;
  g_module = Py_NewRef(module);
  return module;
}

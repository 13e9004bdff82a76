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
    "Fit a model with one smooth of column 0 of x; returns a FittedGam.\n"
    "\n"
    "family_name  exact, case-sensitive: 'gaussian', 'bernoulli'/'binomial',\n"
    "             'poisson', 'quasipoisson', 'quasibinomial', 'Gamma' (inverse\n"
    "             link), 'gamma' (log link), 'inverse_gaussian'/'inverse.gaussian',\n"
    "             'negbin'/'nb', 'tdist'/'scat', 'tweedie'/'tw', 'ocat',\n"
    "             'elf'/'quantile'.\n"
    "x            float64 array (n, d); only column 0 is read.\n"
    "y            float64 array (n,). 'binomial': proportions in [0, 1] with\n"
    "             the numbers of trials as weights; 'ocat': labels 1..r.\n"
    "weights      float64 array (n,) or None (all 1). Precision weights for\n"
    "             'gaussian', the quasi families, 'Gamma', 'gamma' and the\n"
    "             inverse Gaussian (row i has dispersion scale/w_i); frequency\n"
    "             weights (weight 2 = a repeated row) for the others.\n"
    "k            basis size of 'cr' and 'cr_stable' (default 10); 're'\n"
    "             ignores it.\n"
    "design       'cr' (cubic regression spline), 'cr_stable' (the same in the\n"
    "             eigenbasis of its penalty) or 're' (random effect, one level\n"
    "             per distinct value).\n"
    "theta        'nb': starting theta (2.0).\n"
    "nu, sigma2   'scat': starting nu > 2 (5.0) and sigma^2 (1.0).\n"
    "tweedie_p    'tweedie': fixes p in (1, 2); None estimates p, starting at 1.5.\n"
    "tweedie_phi  'tweedie': starting phi (1.0).\n"
    "r            'ocat': number of categories, >= 3; required.\n"
    "tau          'quantile': the quantile level in (0, 1) (0.5).\n"
    "elf_sigma, elf_lambda  'quantile': loss smoothing in the units of y;\n"
    "             0 (default) chooses it.\n"
    "Arguments from theta on take their default for None; those a family\n"
    "does not use are ignored. Bad arguments or data raise ValueError, a fit\n"
    "that fails raises RuntimeError."};

PyMethodDef fit_additive_def = {
    "fit_additive", as_cfunction<quelt::py::py_fit_additive>(), METH_VARARGS | METH_KEYWORDS,
    "fit_additive($module, /, family_name, x, y, terms, weights=None, theta=None, nu=None, "
    "sigma2=None, tweedie_p=None, tweedie_phi=None, r=None, tau=None, elf_sigma=None, "
    "elf_lambda=None)\n--\n\n"
    "Fit an additive model: an intercept plus one block per term; returns a\n"
    "FittedGam.\n"
    "\n"
    "terms  a non-empty list of tuples (columns, basis) or (columns, basis, k):\n"
    "  (c, 'cr'[, k])                    cubic regression spline, k = 10\n"
    "  (c, 'cr_stable'[, k])             the same, penalty eigenbasis, k = 10\n"
    "  (c, 're')                         random effect, one level per value\n"
    "  ((a, b), 'te'[, (ka, kb)])        tensor product, k = (10, 10)\n"
    "  ((a, b, ...), 'te_multi'[, ks])   tensor product, 5 per margin\n"
    "  ((a, b, ...), 'ti'[, ks])         interaction only, 5 per margin\n"
    "  ((a, b, ...), 'tp'[, k])          thin plate, k = 10 x (number of columns)\n"
    "Columns are 0-based columns of x; ks is a tuple with one k per column.\n"
    "A term that repeats an earlier one (same columns and basis) raises\n"
    "ValueError.\n"
    "\n"
    "The other arguments are those of fit (see help(fit)): x is a float64\n"
    "array (n, d), y (n,), weights None or (n,) (precision weights for\n"
    "'gaussian', the quasi families, 'Gamma', 'gamma' and the inverse\n"
    "Gaussian, frequency weights, binomial trials included, for the others);\n"
    "theta, nu, sigma2 and tweedie_phi are starting values, tweedie_p fixes p,\n"
    "r is required by 'ocat', tau (0.5) is the quantile level. Bad terms,\n"
    "arguments or data raise ValueError (TypeError for a wrong type), a fit\n"
    "that fails raises RuntimeError."};

PyMethodDef set_outer_tuning_override_def = {
    "set_outer_tuning_override", as_cfunction<quelt::py::py_set_outer_tuning_override>(),
    METH_VARARGS | METH_KEYWORDS,
    "set_outer_tuning_override($module, /, grad_tol=None, reml_tol=None)\n--\n\n"
    "Replace the tolerances of the Newton search over the smoothing (and\n"
    "shape) parameters in later fits on this thread, for every family;\n"
    "Fellner-Schall updates ignore it. Returns None.\n"
    "\n"
    "grad_tol  tolerance of the largest gradient entry, relative to the\n"
    "          score's size; 5e-7 when only reml_tol is given.\n"
    "reml_tol  tolerance of the score's change between steps, relative to\n"
    "          its size; 1e-7 when only grad_tol is given.\n"
    "The score's size counts as at most 1e3 (log-likelihood units): the\n"
    "score grows with the number of observations, the differences that\n"
    "decide the smoothing parameters do not.\n"
    "The search stops after at most 200 Newton steps. Values are stored as\n"
    "given, without a range check.\n"
    "Both None (or no arguments) removes the override: each family's own\n"
    "tolerances apply again."};

PyMethodDef set_outer_algorithm_def = {
    "set_outer_algorithm", as_cfunction<quelt::py::py_set_outer_algorithm>(),
    METH_VARARGS | METH_KEYWORDS,
    "set_outer_algorithm($module, /, algorithm=None)\n--\n\n"
    "Choose how later fits on this thread pick the smoothing parameters of\n"
    "the seven standard families: 'bernoulli'/'binomial', 'poisson',\n"
    "'quasipoisson', 'quasibinomial', 'Gamma', 'gamma' and\n"
    "'inverse_gaussian'. Returns None.\n"
    "\n"
    "algorithm  'REML' or 'Newton': Newton's method on the REML score (the\n"
    "           default). 'fREML', 'FellnerSchall' or 'fellner-schall':\n"
    "           Fellner-Schall updates; their fits report reml_value 0.0.\n"
    "           None (or no argument): back to the default.\n"
    "The gaussian, quantile and shape families ('nb', 'scat', 'tweedie',\n"
    "'ocat') ignore the setting. Another name raises ValueError."};

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

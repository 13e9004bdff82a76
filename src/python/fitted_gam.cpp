#include "python/fitted_gam.hpp"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/format.hpp"
#include "fit/persistence.hpp"
#include "python/convert.hpp"
#include "python/diagnostics.hpp"
#include "python/errors.hpp"
#include "python/predict.hpp"

namespace quelt::py {

namespace {

constexpr std::uintptr_t kExclusive = std::numeric_limits<std::uintptr_t>::max();

// The type, created once per process with the module.
PyTypeObject* g_type = nullptr;

FittedGamObject* as_object(PyObject* self) { return reinterpret_cast<FittedGamObject*>(self); }

std::atomic_ref<std::uintptr_t> counter(FittedGamObject* o) {
  return std::atomic_ref<std::uintptr_t>(o->borrow);
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyObject* new_int(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// ---------------------------------------------------------------------------
// Properties.

template <class F>
PyObject* shared_getter(PyObject* self, F&& get) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    return get(b.record());
  });
}

PyObject* get_n(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return new_int(g.n); });
}
PyObject* get_rho(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return new_array(g.rho).release(); });
}
PyObject* get_beta(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return new_array(g.beta).release(); });
}
PyObject* get_scale(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return PyFloat_FromDouble(g.scale); });
}
PyObject* get_lambda(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return new_array(g.lambda).release(); });
}
PyObject* get_n_iters(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return new_int(g.n_iters); });
}
PyObject* get_converged(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return PyBool_FromLong(g.converged); });
}
PyObject* get_edf_total(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return PyFloat_FromDouble(g.edf_total); });
}
PyObject* get_reml_value(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) { return PyFloat_FromDouble(g.reml_value); });
}
PyObject* get_edf_per_term(PyObject* self, void*) {
  return shared_getter(self,
                       [](const FittedGam& g) { return new_array(g.edf_per_term).release(); });
}
PyObject* get_shape_params(PyObject* self, void*) {
  return shared_getter(self,
                       [](const FittedGam& g) { return new_array(g.shape_params).release(); });
}

// A ratio of two counters, 0.0 when the denominator is 0.
double rate(std::uint64_t num, std::uint64_t den) {
  return den == 0 ? 0.0 : static_cast<double>(num) / static_cast<double>(den);
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* get_fit_stats(PyObject* self, void*) {
  return shared_getter(self, [](const FittedGam& g) -> PyObject* {
    const FitStats& s = g.fit_stats;
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) throw_pyerr();
    if (!set_item(d.get(), "outer_iterations", new_int(s.outer_iterations)) ||
        !set_item(d.get(), "line_search_trials", new_int(s.line_search_trials)) ||
        !set_item(d.get(), "no_refresh_attempts", new_int(s.no_refresh_attempts)) ||
        !set_item(d.get(), "no_refresh_hits", new_int(s.no_refresh_hits)) ||
        !set_item(d.get(), "inner_pirls_calls", new_int(s.inner_pirls_calls)) ||
        !set_item(d.get(), "inner_pirls_iterations_total",
                  new_int(s.inner_pirls_iterations_total)) ||
        !set_item(d.get(), "pirls_iters_per_call",
                  PyFloat_FromDouble(rate(s.inner_pirls_iterations_total, s.inner_pirls_calls))) ||
        !set_item(d.get(), "no_refresh_hit_rate",
                  PyFloat_FromDouble(rate(s.no_refresh_hits, s.no_refresh_attempts))))
      throw_pyerr();
    return d.release();
  });
}

PyGetSetDef getset[] = {
    {"n", get_n, nullptr, "Number of observations.", nullptr},
    {"rho", get_rho, nullptr, "Log smoothing parameters (a new array).", nullptr},
    {"beta", get_beta, nullptr, "Coefficients, intercept first (a new array).", nullptr},
    {"scale", get_scale, nullptr,
     "Scale of the fit (a float): the estimated dispersion for 'gaussian',\n"
     "the quasi families, 'Gamma', 'gamma' and the inverse Gaussian; 1.0 for\n"
     "'binomial', 'poisson' and 'ocat'; theta for 'nb'; sigma^2 for 'scat';\n"
     "phi for 'tweedie'; the loss smoothing sigma for 'quantile'.",
     nullptr},
    {"lambda", get_lambda, nullptr, "Smoothing parameters exp(rho) (a new array).", nullptr},
    {"n_iters", get_n_iters, nullptr, "Outer iterations used.", nullptr},
    {"converged", get_converged, nullptr, "Whether the fit converged.", nullptr},
    {"edf_total", get_edf_total, nullptr, "Total effective degrees of freedom.", nullptr},
    {"fit_stats", get_fit_stats, nullptr, "Counters of the fit (a new dict).", nullptr},
    {"reml_value", get_reml_value, nullptr,
     "Outer score at the final point; 0.0 after Fellner-Schall updates.", nullptr},
    {"edf_per_term", get_edf_per_term, nullptr,
     "Effective degrees of freedom per penalty, not per term (a new array):\n"
     "a tensor term has one penalty per margin, and those values are not the\n"
     "term's edf.",
     nullptr},
    {"shape_params", get_shape_params, nullptr,
     "Shape coordinates of the family on the optimisation scale (a new\n"
     "array; empty for families without any):\n"
     "'nb'       [log theta]\n"
     "'scat'     [log sigma^2, log(nu - 2)]\n"
     "'tweedie'  [log phi, t], p = 1 + 1/(1 + exp(-t)) held to [1.05, 1.95];\n"
     "           [log phi] when tweedie_p fixes p\n"
     "'ocat'     the r - 2 log gaps g_j: cut points c_1 = -1,\n"
     "           c_(j+1) = c_j + exp(g_j)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Methods.

PyObject* shift_intercept(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    ExclusiveBorrow b(self);
    static const char* kwlist[] = {"delta", nullptr};
    PyObject* delta_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:shift_intercept", const_cast<char**>(kwlist),
                                     &delta_obj))
      throw_pyerr();
    double delta = to_f64(delta_obj, "delta");
    // A non-finite intercept would make every later prediction and stored
    // model NaN or infinite: refused, and the model stays as it was.
    if (!std::isfinite(delta))
      raise(PyExc_ValueError, "shift_intercept: delta must be finite; got " + fmt_float(delta));
    FittedGam& g = b.record();
    if (!g.beta.empty()) {
      const double shifted = g.beta[0] + delta;
      if (!std::isfinite(shifted))
        raise(PyExc_ValueError, "shift_intercept: the intercept " + fmt_float(g.beta[0]) +
                                    " shifted by " + fmt_float(delta) + " overflows");
      g.beta[0] = shifted;
    }
    Py_RETURN_NONE;
  });
}

PyObject* term_col_ranges(PyObject* self, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    const FittedGam& g = b.record();
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    if (const auto* add = std::get_if<AdditivePredictor>(&g.predictor.value))
      ranges = add->col_ranges;
    else
      ranges.emplace_back(1, g.beta.size());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
    if (!list) throw_pyerr();
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      PyObject* t = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].first),
                                  static_cast<unsigned long long>(ranges[i].second));
      if (t == nullptr) throw_pyerr();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
    }
    return list.release();
  });
}

PyObject* vcov(PyObject* self, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    return new_array(b.record().vcov).release();
  });
}

// The persisted bytes of the record as a new bytes object, written in place.
PyRef serialized_bytes(const FittedGam& g) {
  std::size_t n = unwrap(serialized_size(g));
  if (n > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max())) throw std::bad_alloc();
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!bytes) throw_pyerr();
  auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
  serialize_into(g, std::span<std::uint8_t>(data, n));
  return bytes;
}

PyObject* serialize_method(PyObject* self, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    return serialized_bytes(b.record()).release();
  });
}

PyObject* reduce_method(PyObject* self, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    PyRef bytes = serialized_bytes(b.record());
    PyRef load = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "deserialize"));
    if (!load) throw_pyerr();
    PyObject* r = Py_BuildValue("(O(O))", load.get(), bytes.get());
    if (r == nullptr) throw_pyerr();
    return r;
  });
}

PyObject* deserialize_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    static const char* kwlist[] = {"bytes", nullptr};
    PyObject* obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:deserialize", const_cast<char**>(kwlist),
                                     &obj))
      throw_pyerr();
    if (!PyBytes_Check(obj)) {
      std::string msg = "argument 'bytes': expected bytes, got ";
      msg += Py_TYPE(obj)->tp_name;
      raise(PyExc_TypeError, msg);
    }
    // bytes objects are immutable and `obj` stays referenced by the call, so
    // the decoder reads the buffer in place.
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    auto len = static_cast<std::size_t>(PyBytes_GET_SIZE(obj));
    FittedGam rec = unwrap(deserialize(std::span<const std::uint8_t>(data, len)));
    PyObject* out = new_fitted_gam(std::move(rec));
    if (out == nullptr) throw_pyerr();
    return out;
  });
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"shift_intercept", as_cfunction<shift_intercept>(), kArgs,
     "shift_intercept($self, /, delta)\n--\n\n"
     "Add delta (a finite float, on the link scale) to the intercept beta[0],\n"
     "in place, so every later prediction's linear predictor moves by delta.\n"
     "vcov, reml_value and the edf are left as they were. Returns None;\n"
     "ValueError for a non-finite delta or a shifted intercept that overflows."},
    {"term_col_ranges", term_col_ranges, METH_NOARGS,
     "term_col_ranges($self, /)\n--\n\n"
     "The model-matrix columns of each term, in term order: a list of\n"
     "(first, last_exclusive) int pairs. Column 0 is the intercept, so a\n"
     "single-smooth model gives [(1, p)], p = len(beta)."},
    {"vcov", vcov, METH_NOARGS,
     "vcov($self, /)\n--\n\n"
     "The (p, p) covariance matrix of beta that the intervals use (a new\n"
     "float64 array)."},
    {"serialize", serialize_method, METH_NOARGS,
     "serialize($self, /)\n--\n\n"
     "The model as bytes; FittedGam.deserialize reads them back and predicts\n"
     "bit for bit as this model. Pickling stores the same bytes."},
    {"__reduce__", reduce_method, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickle support: (FittedGam.deserialize, (self.serialize(),))."},
    {"deserialize", as_cfunction<deserialize_method>(), kArgs | METH_CLASS,
     "deserialize($type, /, bytes)\n--\n\n"
     "Class method: a new FittedGam from the bytes of serialize() (a bytes\n"
     "object; TypeError otherwise). Bytes that are not a whole, consistent\n"
     "model raise ValueError."},
    {"predict", as_cfunction<py_predict>(), kArgs,
     "predict($self, /, x_new)\n--\n\n"
     "The linear predictor eta = X beta for new covariates, X the model matrix\n"
     "(evaluate_lpmatrix). x_new is a float64 array (m, d) with the columns\n"
     "the model was fitted on; returns a new array (m,) on the link scale\n"
     "(for 'ocat' the latent scale)."},
    {"predict_response", as_cfunction<py_predict_response>(), kArgs,
     "predict_response($self, /, x_new)\n--\n\n"
     "The mean on the response scale for new covariates: the inverse link of\n"
     "predict(x_new), a new array (m,). x_new as in predict."},
    {"predict_ci", as_cfunction<py_predict_ci>(), kArgs,
     "predict_ci($self, /, x_new, level=0.95, scale='response')\n--\n\n"
     "Predictions with Wald intervals: returns (mean, lo, hi), three new\n"
     "arrays (m,). On the link scale lo, hi = eta -/+ z se with z the normal\n"
     "quantile of (1 + level)/2 and se from vcov(); level in (0, 1).\n"
     "scale='response' passes each of the three arrays through the inverse\n"
     "link without reordering them: under the inverse link ('Gamma')\n"
     "lo >= mean >= hi. scale='link' returns eta and its interval."},
    {"predict_diff", as_cfunction<py_predict_diff>(), kArgs,
     "predict_diff($self, /, x_a, x_b, level=0.95)\n--\n\n"
     "The difference of the linear predictor eta(x_a) - eta(x_b), row by row,\n"
     "with Wald intervals at level in (0, 1): returns (diff, lo, hi), always on\n"
     "the link scale. x_a and x_b are float64 arrays with the same number of\n"
     "rows, or one of them has a single row that is compared with every row\n"
     "of the other."},
    {"evaluate_lpmatrix", as_cfunction<py_evaluate_lpmatrix>(), kArgs,
     "evaluate_lpmatrix($self, /, x_new)\n--\n\n"
     "The model matrix X for new covariates: a new float64 array (m, p) with\n"
     "column 0 the intercept (ones) and the term blocks of term_col_ranges()\n"
     "after it, so that predict(x_new) equals X @ beta."},
    {"evaluate_reml_at_ocat", as_cfunction<py_evaluate_reml_at_ocat>(), kArgs,
     "evaluate_reml_at_ocat($self, /, y, x, theta, n_cats, k_per_term)\n--\n\n"
     "The ordered-categorical score after one refit at theta, with its parts\n"
     "and its rho-gradient, as a dict. The design has one cubic regression\n"
     "spline per entry of k_per_term, term i of column i of x with\n"
     "k_per_term[i] basis functions; y holds labels 1..n_cats. theta is\n"
     "[rho_1..rho_T] (zero log gaps) or [rho_1..rho_T, gap_1..gap_{n_cats-2}],\n"
     "as in np.r_[m.rho, m.shape_params]. The model itself is not used.\n"
     "Each rho_j must be at most 700 (exp(rho_j) must stay finite)."},
    {"evaluate_reml_at_tweedie", as_cfunction<py_evaluate_reml_at_tweedie>(), kArgs,
     "evaluate_reml_at_tweedie($self, /, y, x, theta, k_per_term)\n--\n\n"
     "The Tweedie score after one refit at theta = [rho_1..rho_T, log_phi,\n"
     "p_transform] (p = 1 + 1/(1 + exp(-p_transform)), held to [1.05, 1.95]),\n"
     "with its parts, phi and p as a dict. The design has one cubic\n"
     "regression spline per entry of k_per_term, term i of column i of x with\n"
     "k_per_term[i] basis functions. The model itself is not used.\n"
     "Each rho_j must be at most 700 (exp(rho_j) must stay finite)."},
    {"evaluate_reml_at_scat", as_cfunction<py_evaluate_reml_at_scat>(), kArgs,
     "evaluate_reml_at_scat($self, /, y, x, theta, k_per_term)\n--\n\n"
     "The scaled-t score after one refit at theta = [rho_1..rho_T, log_sigma2,\n"
     "log(nu - 2)], with its parts, nu and sigma2 as a dict. The design has\n"
     "one cubic regression spline per entry of k_per_term, term i of column i\n"
     "of x with k_per_term[i] basis functions. The model itself is not used.\n"
     "Each rho_j must be at most 700 (exp(rho_j) must stay finite)."},
    {"evaluate_reml_at_negbin", as_cfunction<py_evaluate_reml_at_negbin>(), kArgs,
     "evaluate_reml_at_negbin($self, /, y, x, theta, k_per_term)\n--\n\n"
     "The negative binomial score after one refit at theta = [rho_1..rho_T,\n"
     "log_theta], with its parts and theta as a dict. The design has one\n"
     "cubic regression spline per entry of k_per_term, term i of column i of\n"
     "x with k_per_term[i] basis functions. The model itself is not used.\n"
     "Each rho_j must be at most 700 (exp(rho_j) must stay finite)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Type.

void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  delete as_object(self)->rec;
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The class docstring: what a fitted model is, where one comes from and what
// it holds.
constexpr const char kDoc[] =
    "A fitted generalized additive model.\n"
    "\n"
    "Made by quelt.fit, quelt.fit_additive or FittedGam.deserialize; the class\n"
    "cannot be called. Saved as bytes by serialize() and read back by\n"
    "FittedGam.deserialize(bytes), which predicts bit for bit as the saved\n"
    "model; pickle stores the same bytes. Every attribute is read-only and\n"
    "returns a new object (arrays are copies).\n"
    "\n"
    "Attributes:\n"
    "  beta          coefficients, intercept first (eta = X @ beta)\n"
    "  rho           log smoothing parameters, one per penalty\n"
    "  lambda        smoothing parameters exp(rho); getattr(m, 'lambda')\n"
    "  scale         the family's scale: estimated dispersion, 1.0, theta,\n"
    "                sigma^2, phi or the quantile loss's sigma\n"
    "  edf_total     total effective degrees of freedom\n"
    "  edf_per_term  effective degrees of freedom per penalty\n"
    "  n             number of rows fitted, rows of weight 0 included\n"
    "  n_iters       outer iterations used\n"
    "  converged     whether the fit converged\n"
    "  reml_value    the score at the final point (0.0 after Fellner-Schall)\n"
    "  shape_params  the family's shape coordinates (empty when it has none)\n"
    "  fit_stats     dict of the fit's counters and two ratios of them\n"
    "\n"
    "Methods:\n"
    "  predict(x_new)              linear predictor eta on the link scale\n"
    "  predict_response(x_new)     mean on the response scale\n"
    "  predict_ci(x_new, level, scale)  (mean, lo, hi) with Wald intervals\n"
    "  predict_diff(x_a, x_b, level)    eta(x_a) - eta(x_b) with its interval\n"
    "  evaluate_lpmatrix(x_new)    the model matrix X for new covariates\n"
    "  vcov()                      covariance matrix of beta\n"
    "  term_col_ranges()           each term's columns of X\n"
    "  shift_intercept(delta)      add delta to the intercept, in place\n"
    "  serialize()                 the model as bytes\n"
    "  deserialize(bytes)          class method: a model from those bytes\n"
    "  evaluate_reml_at_negbin, evaluate_reml_at_scat,\n"
    "  evaluate_reml_at_tweedie, evaluate_reml_at_ocat\n"
    "                              the score and its parts after one refit at\n"
    "                              given [rho, shape] (a dict)\n"
    "\n"
    "help(quelt.FittedGam.NAME) says more about each.";

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec type_desc = {
    "quelt._quelt_native.FittedGam",
    static_cast<int>(sizeof(FittedGamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

SharedBorrow::SharedBorrow(PyObject* self) : obj_(as_object(self)) {
  auto c = counter(obj_);
  std::uintptr_t cur = c.load();
  do {
    if (cur >= kExclusive - 1) raise(PyExc_RuntimeError, "Already mutably borrowed");
  } while (!c.compare_exchange_weak(cur, cur + 1));
}

SharedBorrow::~SharedBorrow() { counter(obj_).fetch_sub(1); }

ExclusiveBorrow::ExclusiveBorrow(PyObject* self) : obj_(as_object(self)) {
  std::uintptr_t expected = 0;
  if (!counter(obj_).compare_exchange_strong(expected, kExclusive))
    raise(PyExc_RuntimeError, "Already borrowed");
}

ExclusiveBorrow::~ExclusiveBorrow() { counter(obj_).store(0); }

bool add_fitted_gam_type(PyObject* module) {
  if (g_type == nullptr) {
    PyObject* t = PyType_FromSpec(&type_desc);
    if (t == nullptr) return false;
    g_type = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
  }
  return PyModule_AddObjectRef(module, "FittedGam", reinterpret_cast<PyObject*>(g_type)) == 0;
}

PyObject* new_fitted_gam(FittedGam&& rec) {
  if (g_type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "FittedGam type is not initialised");
    return nullptr;
  }
  FittedGam* owned = nullptr;
  try {
    owned = new FittedGam(std::move(rec));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (obj == nullptr) {
    delete owned;
    return nullptr;
  }
  as_object(obj)->rec = owned;
  as_object(obj)->borrow = 0;
  return obj;
}

}  // namespace quelt::py

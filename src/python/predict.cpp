#include "python/predict.hpp"

#include <cmath>
#include <string>

#include "core/format.hpp"
#include "core/linalg.hpp"
#include "design/predictor.hpp"
#include "family/link.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fitted_gam.hpp"

namespace quelt::py {

namespace {

constexpr double kDefaultLevel = 0.95;

// The model matrix of the stored predictor for new covariates. Its width must
// be the length of beta and vcov must be p x p; records read from bytes are
// checked for this when loaded, so a mismatch here is a broken contract.
Matrix model_matrix(const FittedGam& g, const Matrix& x) {
  Matrix X = unwrap(predictor_evaluate(g.predictor, x.view()));
  const std::size_t p = g.beta.size();
  check_invariant(X.cols() == p && g.vcov.rows() == p && g.vcov.cols() == p,
                  "model matrix, beta and vcov disagree in width");
  return X;
}

// sum_j a_j b_j over j = 0..p-1 in index order, starting from -0.0.
double dot(const double* a, const double* b, std::size_t p) {
  double s = -0.0;
  for (std::size_t j = 0; j < p; ++j) s += a[j] * b[j];
  return s;
}

// eta = X beta, row by row.
Vector linear_predictor(const Matrix& X, const Vector& beta) {
  Vector eta(X.rows());
  for (std::size_t i = 0; i < X.rows(); ++i) eta[i] = dot(X.row_ptr(i), beta.data(), beta.size());
  return eta;
}

// Standard error sqrt(x' V x) of a linear combination x of the coefficients.
// `v` is scratch of length p. A quadratic form that rounding made slightly
// negative gives 0; a NaN one gives NaN (an undefined variance is not a
// certain prediction).
double standard_error(const Matrix& V, const double* x, Vector& v) {
  const std::size_t p = V.rows();
  for (std::size_t j = 0; j < p; ++j) v[j] = dot(V.row_ptr(j), x, p);
  double q = dot(x, v.data(), p);
  if (std::isnan(q)) return q;
  return std::sqrt(q > 0.0 ? q : 0.0);
}

void apply_inverse_link(Link link, Vector& v) {
  for (double& e : v) e = inverse_link(link, e);
}

// The two-sided normal quantile for a confidence level in (0, 1). A level so
// close to 1 that (level + 1)/2 rounds to 1 has no finite quantile and is
// refused with the same message as a level outside the interval.
double level_quantile(double level) {
  const double p = (level + 1.0) * 0.5;
  if (!(level > 0.0 && level < 1.0) || !(p < 1.0))
    throw QueltError::invalid_parameter("level must be in (0, 1); got level=" + fmt_float(level));
  return normal_quantile(p);
}

// Arguments of the methods taking one covariate matrix and nothing else.
Matrix single_x_argument(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* kwlist[] = {"x_new", nullptr};
  PyObject* x_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &x_obj))
    throw_pyerr();
  return to_matrix(x_obj, "x_new");
}

PyObject* tuple3(Vector& a, Vector& b, Vector& c) {
  PyRef ra = new_array(a), rb = new_array(b), rc = new_array(c);
  PyObject* t = PyTuple_Pack(3, ra.get(), rb.get(), rc.get());
  if (t == nullptr) throw_pyerr();
  return t;
}

}  // namespace

PyObject* py_evaluate_lpmatrix(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    Matrix x = single_x_argument(args, kwargs, "O:evaluate_lpmatrix");
    return new_array(model_matrix(b.record(), x)).release();
  });
}

PyObject* py_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    Matrix x = single_x_argument(args, kwargs, "O:predict");
    const FittedGam& g = b.record();
    return new_array(linear_predictor(model_matrix(g, x), g.beta)).release();
  });
}

PyObject* py_predict_response(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    Matrix x = single_x_argument(args, kwargs, "O:predict_response");
    const FittedGam& g = b.record();
    Vector mu = linear_predictor(model_matrix(g, x), g.beta);
    apply_inverse_link(g.link, mu);
    return new_array(mu).release();
  });
}

PyObject* py_predict_ci(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    static const char* kwlist[] = {"x_new", "level", "scale", nullptr};
    PyObject *x_obj = nullptr, *level_obj = nullptr, *scale_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:predict_ci", const_cast<char**>(kwlist),
                                     &x_obj, &level_obj, &scale_obj))
      throw_pyerr();
    Matrix x = to_matrix(x_obj, "x_new");
    double level = is_absent(level_obj) ? kDefaultLevel : to_f64(level_obj, "level");
    std::string scale = is_absent(scale_obj) ? "response" : to_str(scale_obj, "scale");
    if (scale != "response" && scale != "link")
      raise(PyExc_ValueError, "scale must be 'link' or 'response', got " + quoted(scale));
    const double z = level_quantile(level);

    const FittedGam& g = b.record();
    Matrix X = model_matrix(g, x);
    Vector eta = linear_predictor(X, g.beta);
    Vector lo(eta.size()), hi(eta.size()), v(g.beta.size());
    for (std::size_t i = 0; i < X.rows(); ++i) {
      double se = standard_error(g.vcov, X.row_ptr(i), v);
      lo[i] = eta[i] - z * se;
      hi[i] = eta[i] + z * se;
    }
    // On the response scale each array is transformed as it stands; under a
    // decreasing inverse link lo may exceed hi.
    if (scale == "response") {
      apply_inverse_link(g.link, eta);
      apply_inverse_link(g.link, lo);
      apply_inverse_link(g.link, hi);
    }
    return tuple3(eta, lo, hi);
  });
}

PyObject* py_predict_diff(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    SharedBorrow b(self);
    static const char* kwlist[] = {"x_a", "x_b", "level", nullptr};
    PyObject *xa_obj = nullptr, *xb_obj = nullptr, *level_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:predict_diff", const_cast<char**>(kwlist),
                                     &xa_obj, &xb_obj, &level_obj))
      throw_pyerr();
    Matrix xa = to_matrix(xa_obj, "x_a");
    Matrix xb = to_matrix(xb_obj, "x_b");
    double level = is_absent(level_obj) ? kDefaultLevel : to_f64(level_obj, "level");
    const double z = level_quantile(level);

    const FittedGam& g = b.record();
    Matrix Xa = model_matrix(g, xa);
    Matrix Xb = model_matrix(g, xb);
    if (Xa.cols() != Xb.cols())
      throw QueltError::invalid_parameter("predict_diff: design width mismatch (a=" +
                                          fmt_uint(Xa.cols()) + ", b=" + fmt_uint(Xb.cols()) + ")");
    const std::size_t na = Xa.rows(), nb = Xb.rows();
    std::size_t n;
    if (na == nb)
      n = na;
    else if (na == 1)
      n = nb;
    else if (nb == 1)
      n = na;
    else
      throw QueltError::invalid_parameter(
          "predict_diff: row counts must match or one must be 1 (broadcast); got a=" +
          fmt_uint(na) + ", b=" + fmt_uint(nb));

    const std::size_t p = g.beta.size();
    Vector diff(n), lo(n), hi(n), d(p), v(p);
    for (std::size_t i = 0; i < n; ++i) {
      const double* ra = Xa.row_ptr(na == 1 ? 0 : i);
      const double* rb = Xb.row_ptr(nb == 1 ? 0 : i);
      for (std::size_t j = 0; j < p; ++j) d[j] = ra[j] - rb[j];
      diff[i] = dot(d.data(), g.beta.data(), p);
      double se = standard_error(g.vcov, d.data(), v);
      lo[i] = diff[i] - z * se;
      hi[i] = diff[i] + z * se;
    }
    return tuple3(diff, lo, hi);
  });
}

}  // namespace quelt::py

#include "python/convert.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>

namespace quelt::py {

namespace {

// NumPy's C API table is imported on first use. Only the interpreter lock
// protects this flag: the import may release the lock, so two threads can
// both import, which is harmless (both store the same table).
bool g_numpy_ready = false;

void ensure_numpy() {
  if (g_numpy_ready) return;
  if (_import_array() < 0) {
    PyArray_API = nullptr;
    throw_pyerr();
  }
  g_numpy_ready = true;
}

// The pending TypeError becomes "<prefix>: <original text>"; any other
// pending error is left as it is. Throws PyErrorSet in both cases.
[[noreturn]] void rethrow_prefixed(const std::string& prefix) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
    if (!text) throw_pyerr();
    PyErr_Format(PyExc_TypeError, "%s: %U", prefix.c_str(), text.get());
  }
  throw_pyerr();
}

// "argument '<name>': <original text>" for a pending TypeError.
[[noreturn]] void rethrow_naming(const char* name) {
  rethrow_prefixed(std::string("argument '") + name + "'");
}

// An int or __index__ object as an unsigned 64-bit integer. A TypeError is
// re-raised behind `prefix`; a value out of range raises ValueError
// "<prefix>: must not be negative; got <v>" or "<prefix>: too large; the
// largest accepted value is 18446744073709551615"; other errors unchanged.
std::uint64_t u64_named(PyObject* obj, const std::string& prefix) {
  PyRef idx = PyRef::steal(PyNumber_Index(obj));
  if (!idx) rethrow_prefixed(prefix);
  const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v != static_cast<unsigned long long>(-1) || !PyErr_Occurred())
    return static_cast<std::uint64_t>(v);
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_pyerr();
  PyErr_Clear();
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  if (!zero) throw_pyerr();
  const int negative = PyObject_RichCompareBool(idx.get(), zero.get(), Py_LT);
  if (negative < 0) throw_pyerr();
  if (!negative) {
    raise(PyExc_ValueError,
          prefix + ": too large; the largest accepted value is 18446744073709551615");
  }
  int beyond = 0;
  const long long sv = PyLong_AsLongLongAndOverflow(idx.get(), &beyond);
  if (sv == -1 && PyErr_Occurred()) throw_pyerr();
  raise(PyExc_ValueError, prefix + ": must not be negative; got " +
                              (beyond ? "a value below -2**63" : std::to_string(sv)));
}

[[noreturn]] void raise_type(const char* name, const char* what, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, what,
               Py_TYPE(got)->tp_name);
  throw_pyerr();
}

inline double load_f64(const char* p, bool swapped) {
  std::uint64_t bits;
  std::memcpy(&bits, p, sizeof bits);
  if (swapped) bits = __builtin_bswap64(bits);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Validates `obj` as a float64 array of `ndim` dimensions and returns it.
PyArrayObject* checked_array(PyObject* obj, const char* name, int ndim) {
  if (obj == nullptr || obj == Py_None) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a numpy.ndarray of dtype float64, got None", name);
    throw_pyerr();
  }
  ensure_numpy();
  if (!PyArray_Check(obj)) raise_type(name, "a numpy.ndarray of dtype float64", obj);
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(arr) != NPY_DOUBLE) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of dtype float64, got dtype %S",
                 name, reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
    throw_pyerr();
  }
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a %d-dimensional array, got %d dimension(s)", name, ndim,
                 PyArray_NDIM(arr));
    throw_pyerr();
  }
  return arr;
}

}  // namespace

void throw_pyerr() { throw PyErrorSet{}; }

void raise(PyObject* exc_type, std::string_view msg) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
  if (text) PyErr_SetObject(exc_type, text.get());
  throw PyErrorSet{};
}

Matrix to_matrix(PyObject* obj, const char* name) {
  PyArrayObject* arr = checked_array(obj, name, 2);
  const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  const auto cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
  const npy_intp s0 = PyArray_STRIDE(arr, 0);
  const npy_intp s1 = PyArray_STRIDE(arr, 1);
  const bool swapped = PyArray_ISBYTESWAPPED(arr);
  const char* base = PyArray_BYTES(arr);
  Matrix m(rows, cols);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = base + static_cast<npy_intp>(i) * s0;
    double* out = m.row_ptr(i);
    for (std::size_t j = 0; j < cols; ++j)
      out[j] = load_f64(row + static_cast<npy_intp>(j) * s1, swapped);
  }
  return m;
}

Vector to_vector(PyObject* obj, const char* name) {
  PyArrayObject* arr = checked_array(obj, name, 1);
  const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  const npy_intp s = PyArray_STRIDE(arr, 0);
  const bool swapped = PyArray_ISBYTESWAPPED(arr);
  const char* base = PyArray_BYTES(arr);
  Vector v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = load_f64(base + static_cast<npy_intp>(i) * s, swapped);
  return v;
}

double to_f64(PyObject* obj, const char* name) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) rethrow_naming(name);
  return v;
}

std::uint64_t to_u64(PyObject* obj, const char* name) {
  return u64_named(obj, std::string("argument '") + name + "'");
}

std::uint64_t index_to_u64(PyObject* obj, const std::string& what) { return u64_named(obj, what); }

std::string to_str(PyObject* obj, const char* name) {
  if (obj == nullptr || !PyUnicode_Check(obj)) {
    if (obj == nullptr) obj = Py_None;
    raise_type(name, "str", obj);
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) rethrow_naming(name);
  return std::string(s, static_cast<std::size_t>(len));
}

PyRef new_array(const double* data, std::size_t n) {
  ensure_numpy();
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!out) throw_pyerr();
  if (n > 0)
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), data,
                n * sizeof(double));
  return out;
}

PyRef new_array(const Vector& v) { return new_array(v.data(), v.size()); }

PyRef new_array(const Matrix& m) {
  ensure_numpy();
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
  PyRef out = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!out) throw_pyerr();
  if (m.size() > 0)
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), m.data(),
                m.size() * sizeof(double));
  return out;
}

}  // namespace quelt::py

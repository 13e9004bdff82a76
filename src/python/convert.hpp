// Conversion of Python arguments into owned C++ values, and of results back
// into new Python objects.
//
// Conventions shared by every entry point:
// - A parameter that was not passed is a null PyObject* (as left by
//   PyArg_ParseTupleAndKeywords with NULL-initialised outputs). `is_absent`
//   and `is_absent_or_none` express the two default rules: a parameter whose
//   default is a value rejects None (call the converter, which raises
//   TypeError for None); a parameter whose default is None treats None as
//   absent.
// - Every converter either returns the value or sets a Python exception and
//   throws PyErrorSet. The boundary of errors.hpp (`guarded_call`) turns that
//   into the failure return of the entry point; no C++ exception reaches the
//   interpreter.
// - A TypeError from a conversion is re-raised as TypeError whose message
//   names the parameter ("argument 'k': ..."), an integer out of range as
//   ValueError naming the parameter and the cause; any other error of the
//   conversion (UnicodeEncodeError, an error raised by __index__, ...) is
//   raised unchanged.
// - Arrays are copied when they are converted: the returned Matrix/Vector
//   owns its data and nothing of the caller's array is retained, so Python
//   code run by later conversions cannot change what was read.
//
// NumPy's C API is used only inside convert.cpp. It is imported on the first
// array conversion or array creation, never at module import.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/matrix.hpp"
#include "python/pyref.hpp"

namespace quelt::py {

// Thrown once a Python exception has been set. Deliberately not derived from
// std::exception.
struct PyErrorSet {};

// Throws PyErrorSet; the caller has set (or the interpreter has left) the
// Python exception.
[[noreturn]] void throw_pyerr();
// Sets `exc_type(msg)` (msg decoded as UTF-8, invalid bytes replaced; embedded
// NULs kept) and throws PyErrorSet.
[[noreturn]] void raise(PyObject* exc_type, std::string_view msg);

inline bool is_absent(PyObject* o) { return o == nullptr; }
inline bool is_absent_or_none(PyObject* o) { return o == nullptr || o == Py_None; }

// A NumPy array (numpy.ndarray or a subclass) of dtype float64 with exactly
// two (to_matrix) or one (to_vector) dimensions, any strides (including
// negative and zero) and either byte order, copied into an owned row-major
// array. Anything else, None included, raises TypeError naming `name`.
Matrix to_matrix(PyObject* obj, const char* name);
Vector to_vector(PyObject* obj, const char* name);

// The interpreter's float conversion (a float, an int, or an object with
// __float__ or __index__; strings are not parsed). None raises TypeError.
double to_f64(PyObject* obj, const char* name);

// An int or an object with __index__ as an unsigned 64-bit integer. A
// negative or too-large value raises ValueError naming `name` and saying
// which ("argument 'k': must not be negative; got -1"); None and other types
// raise TypeError naming `name`.
std::uint64_t to_u64(PyObject* obj, const char* name);

// An instance of str (or a subclass) as its UTF-8 bytes, length included (an
// embedded NUL is kept, so comparisons are byte for byte). None and other
// types raise TypeError naming `name`.
std::string to_str(PyObject* obj, const char* name);

// Index-protocol conversion to an unsigned 64-bit integer for values that
// are not parameters of their own (the entries of a term tuple): a TypeError
// keeps its class, a value out of range is ValueError, and gets `what` in front of its cause
// ("fit_additive: term 0 k: ..."); other errors are raised unchanged.
std::uint64_t index_to_u64(PyObject* obj, const std::string& what);

// New NumPy float64 arrays holding a copy of the data: 1-D of length v.size(),
// 2-D of shape (rows, cols), C order.
PyRef new_array(const Vector& v);
PyRef new_array(const Matrix& m);
PyRef new_array(const double* data, std::size_t n);

}  // namespace quelt::py

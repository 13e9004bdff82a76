// The boundary between C++ and the interpreter: mapping of core errors to
// Python exceptions, PanicException for broken internal contracts, and the
// one guard every entry point runs its body in.
//
// Inside a guarded body, failures may leave in any of these ways:
// - PyErrorSet (convert.hpp): a Python exception is already set;
// - a thrown QueltError (see `unwrap`): mapped by `error_into_pyerr`;
// - quelt::InvariantViolation: PanicException carrying its message;
// - quelt::OutOfMemory: MemoryError carrying its message;
// - std::bad_alloc or std::length_error: MemoryError;
// - any other exception: PanicException with its what() text.
// No C++ exception unwinds into the interpreter.
#pragma once

#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "python/convert.hpp"

namespace quelt::py {

// Sets the Python exception for a core error: InvalidParameter becomes
// ValueError with its message unchanged; SingularSystem, NotConverged and
// Linalg become RuntimeError with the error's display text ("singular
// system: ...", "solver did not converge after ...", "linalg failure: ...").
void error_into_pyerr(const QueltError& e);

// Sets PanicException(msg). The exception type (qualified name
// "quelt._quelt_native.PanicException", base BaseException) is created once,
// on first use.
void set_panic(std::string_view msg);

// The value of `r`, or its error thrown for the boundary to map.
template <class T>
T unwrap(Result<T>&& r) {
  if (!r.ok()) throw std::move(r).take_error();
  return std::move(r).value();
}
inline void unwrap(Status&& s) {
  if (!s.ok()) throw std::move(s).take_error();
}

// Translates the exception being handled into a Python exception. Call only
// from inside a catch block.
void translate_current_exception() noexcept;

// Runs `body` and returns its result; when it throws, the exception is
// translated and `on_error` is returned.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    translate_current_exception();
    return on_error;
  }
}

// The usual form for entry points returning a new reference: `body` returns
// PyObject* (a new reference); nullptr on failure, with the exception set.
template <class F>
PyObject* guarded_call(F&& body) noexcept {
  return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace quelt::py

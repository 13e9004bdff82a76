#include "python/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace quelt::py {

namespace {

// Created once, kept for the life of the process.
PyObject* g_panic_type = nullptr;

void set_utf8(PyObject* exc_type, std::string_view msg) {
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (text == nullptr) return;  // the decoder's error (MemoryError) stays set
  PyErr_SetObject(exc_type, text);
  Py_DECREF(text);
}

}  // namespace

void error_into_pyerr(const QueltError& e) {
  try {
    if (e.kind == QueltError::Kind::InvalidParameter) {
      set_utf8(PyExc_ValueError, e.message);
    } else {
      set_utf8(PyExc_RuntimeError, e.display());
    }
  } catch (...) {
    PyErr_NoMemory();
  }
}

void set_panic(std::string_view msg) {
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewException("quelt._quelt_native.PanicException", PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) return;  // the creation's error stays set
  }
  set_utf8(g_panic_type, msg);
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const QueltError& e) {
    error_into_pyerr(e);
  } catch (const InvariantViolation& e) {
    set_panic(e.what());
  } catch (const OutOfMemory& e) {
    set_utf8(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

}  // namespace quelt::py

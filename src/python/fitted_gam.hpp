// The Python class quelt._quelt_native.FittedGam: one fitted-model record
// per instance, exposed through read-only properties (each returning a new
// object) and methods, guarded by a borrow counter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "fit/fitted_record.hpp"

namespace quelt::py {

// Creates the FittedGam type (once per process) and adds it to `module`.
// Returns false with a Python exception set on failure.
bool add_fitted_gam_type(PyObject* module);

// A new FittedGam object owning `rec` (moved from), or nullptr with a Python
// exception set.
PyObject* new_fitted_gam(FittedGam&& rec);

// Instance layout.
struct FittedGamObject {
  PyObject_HEAD FittedGam* rec;
  // 0 when free, the number of shared borrows, or all ones while exclusively
  // borrowed. Updated atomically.
  std::uintptr_t borrow;
};

// Shared borrow for the lifetime of the guard; refused with RuntimeError
// "Already mutably borrowed" while the object is exclusively borrowed.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self);
  ~SharedBorrow();
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  const FittedGam& record() const { return *obj_->rec; }

 private:
  FittedGamObject* obj_;
};

// Exclusive borrow; refused with RuntimeError "Already borrowed" while any
// other borrow is held.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self);
  ~ExclusiveBorrow();
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  FittedGam& record() const { return *obj_->rec; }

 private:
  FittedGamObject* obj_;
};

}  // namespace quelt::py

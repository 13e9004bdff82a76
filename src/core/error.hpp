// Error values of the core and the invariant exception.
//
// Every fallible core operation returns Result<T>: either a value or a
// QueltError. Broken internal contracts (which valid input cannot reach)
// throw InvariantViolation; it is never compiled out and the Python layer
// turns it into PanicException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace quelt {

struct QueltError {
  enum class Kind : std::uint8_t {
    InvalidParameter = 0,
    SingularSystem = 1,
    NotConverged = 2,
    Linalg = 3
  };

  Kind kind = Kind::InvalidParameter;
  std::string message;      // InvalidParameter, SingularSystem, Linalg
  std::uint64_t iters = 0;  // NotConverged
  double grad_norm = 0.0;   // NotConverged

  static QueltError invalid_parameter(std::string msg) {
    return {Kind::InvalidParameter, std::move(msg), 0, 0.0};
  }
  static QueltError singular_system(std::string msg) {
    return {Kind::SingularSystem, std::move(msg), 0, 0.0};
  }
  static QueltError not_converged(std::uint64_t iters, double grad_norm) {
    return {Kind::NotConverged, std::string(), iters, grad_norm};
  }
  static QueltError linalg(std::string msg) { return {Kind::Linalg, std::move(msg), 0, 0.0}; }

  // The error's display text: "invalid parameter: {}", "singular system: {}",
  // "solver did not converge after {} iterations (last grad norm = {})",
  // "linalg failure: {}".
  std::string display() const;
};

// A value or a QueltError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(QueltError err) : v_(std::in_place_index<1>, std::move(err)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() &;
  const T& value() const&;
  T&& value() &&;
  const QueltError& error() const;
  QueltError&& take_error() &&;

 private:
  std::variant<T, QueltError> v_;
};

// Success without a value.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Status(Unit{}); }

// Thrown when an internal contract is broken. Carries the message verbatim.
class InvariantViolation : public std::logic_error {
 public:
  explicit InvariantViolation(const std::string& msg) : std::logic_error(msg) {}
};

[[noreturn]] void invariant_failed(const std::string& msg);

// Thrown when the matrices a request needs cannot fit in the memory left to
// the process; an allocation failure that says what could not be allocated
// and how large it was.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }

 private:
  std::string msg_;
};

// Checked in every build type.
inline void check_invariant(bool cond, const char* msg) {
  if (!cond) invariant_failed(msg);
}

template <class T>
T& Result<T>::value() & {
  if (!ok()) invariant_failed("Result::value on an error: " + std::get<1>(v_).display());
  return std::get<0>(v_);
}
template <class T>
const T& Result<T>::value() const& {
  if (!ok()) invariant_failed("Result::value on an error: " + std::get<1>(v_).display());
  return std::get<0>(v_);
}
template <class T>
T&& Result<T>::value() && {
  if (!ok()) invariant_failed("Result::value on an error: " + std::get<1>(v_).display());
  return std::get<0>(std::move(v_));
}
template <class T>
const QueltError& Result<T>::error() const {
  if (ok()) invariant_failed("Result::error on a value");
  return std::get<1>(v_);
}
template <class T>
QueltError&& Result<T>::take_error() && {
  if (ok()) invariant_failed("Result::error on a value");
  return std::get<1>(std::move(v_));
}

}  // namespace quelt

// Propagate an error: `QUELT_TRY(auto v, expr);` binds v to the value of the
// Result `expr` or returns its error from the enclosing function.
#define QUELT_CONCAT_INNER(a, b) a##b
#define QUELT_CONCAT(a, b) QUELT_CONCAT_INNER(a, b)
#define QUELT_TRY_IMPL(tmp, decl, expr)              \
  auto tmp = (expr);                                 \
  if (!tmp.ok()) return std::move(tmp).take_error(); \
  decl = std::move(tmp).value()
#define QUELT_TRY(decl, expr) QUELT_TRY_IMPL(QUELT_CONCAT(quelt_try_, __LINE__), decl, expr)
// Propagate the error of a Status (or any Result whose value is not needed).
#define QUELT_CHECK_OK(expr)                                       \
  do {                                                             \
    auto quelt_st_ = (expr);                                       \
    if (!quelt_st_.ok()) return std::move(quelt_st_).take_error(); \
  } while (0)

// Owned references and the failure type of the binding layer.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <utility>

#include "error.hpp"

namespace kestrune::python {

// A strong reference to a Python object; move-only, released when it goes out of scope.
// An empty Owned holds no object.
class Owned {
 public:
  Owned() noexcept = default;
  Owned(Owned&& other) noexcept : object_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = other.release();
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  // Takes over a new reference (as CPython's "new reference" functions return it).
  static Owned steal(PyObject* object) noexcept { return Owned(object); }
  // Adds a reference to a borrowed object.
  static Owned borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Owned(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }

 private:
  explicit Owned(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Marks that a Python exception is already set for the current thread.
struct Raised {};

// Why a call could not go on: either a Python exception is already set, or a
// model's error code still has to be raised as ValueError (at the entry guard).
class Failure {
 public:
  Failure(Raised) noexcept {}
  Failure(Error error) : error_(std::move(error)) {}

  // True when the failure is a model's error code rather than a set exception.
  bool is_code() const noexcept { return error_.has_value(); }
  const std::optional<Error>& code() const noexcept { return error_; }
  // Leaves the matching Python exception set: ValueError(code or "code: detail")
  // for a model's error; nothing to do when the exception is already set.
  void raise() const;

 private:
  std::optional<Error> error_;
};

template <class T>
using Fallible = std::expected<T, Failure>;

// The failure for "a Python exception is set", as an unexpected value.
inline std::unexpected<Failure> raised() { return std::unexpected<Failure>(Raised{}); }

// Wraps a new reference returned by the C API: null means an exception is set.
inline Fallible<Owned> checked(PyObject* new_reference) {
  if (new_reference == nullptr) return raised();
  return Owned::steal(new_reference);
}

// Sets `type` with `message` and returns the failure, for one-line error returns.
std::unexpected<Failure> raise(PyObject* type, const char* message);

}  // namespace kestrune::python

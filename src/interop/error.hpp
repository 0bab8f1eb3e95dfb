// Python errors as values.
//
// Inside the module an operation that meets a Python error returns it as a
// `PyError` (the exception taken out of the interpreter's error indicator).
// Entry points visible to the interpreter turn it back into a raised exception
// exactly once; the event path hands it to the error reporter instead.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "interop/pyref.hpp"

namespace tavo {

// Whether an exception met while tavo ran Python code belongs to the program:
// anything that is not an `Exception` (KeyboardInterrupt, SystemExit, a test
// runner's timeout outcome...), or what a Python signal handler raised when
// the interpreter ran it inside that code. The error indicator is left as it
// was.
bool belongs_to_program(PyObject* exception);

class PyError {
 public:
  // Takes the exception currently set; a missing one becomes a SystemError so
  // that a caller never loses track of a failure.
  static PyError fetch();
  // Sets `type` with `message` and takes it at once.
  static PyError make(PyObject* type, const char* message);
  static PyError format(PyObject* type, const char* format, ...);

  PyObject* exception() const { return exc_.get(); }
  // Whether the exception belongs to the program rather than to the work
  // that met it (see `belongs_to_program`).
  bool is_interrupt() const { return belongs_to_program(exc_.get()); }
  // Puts the exception back into the error indicator, giving it up.
  void restore() && { PyErr_SetRaisedException(exc_.release()); }
  PyRef take() && { return std::move(exc_); }

 private:
  explicit PyError(PyRef exc) : exc_(std::move(exc)) {}
  PyRef exc_;
};

// Either a value or the Python error that stopped the operation.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(PyError error) : error_(std::move(error)) {}

  bool ok() const { return value_.has_value(); }
  T& value() { return *value_; }
  T take_value() { return std::move(*value_); }
  PyError take_error() { return std::move(*error_); }

 private:
  std::optional<T> value_;
  std::optional<PyError> error_;
};

// Success, or the Python error that stopped the operation.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(PyError error) : error_(std::move(error)) {}
  static Status success() { return Status(); }

  bool ok() const { return !error_.has_value(); }
  bool interrupted() const { return error_ && error_->is_interrupt(); }
  PyError take_error() { return std::move(*error_); }

 private:
  std::optional<PyError> error_;
};

// Takes the exception currently set if it belongs to the program (see
// `belongs_to_program`); otherwise leaves the error indicator as it is.
std::optional<PyError> fetch_interrupt();

// "'<type>' object cannot be converted to '<target>'", the wording used for
// every failed conversion of a host-supplied value.
PyError conversion_error(PyObject* obj, const char* target);
// The refusal of a single text where a list of texts is expected.
PyError str_to_vec_error();

}  // namespace tavo

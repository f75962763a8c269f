#include "python/owned.hpp"

#include <string>

namespace kestrune::python {

void Failure::raise() const {
  if (!error_) return;  // the exception is already set
  // Sized and decoded leniently: a detail quoting the caller's text may hold a NUL.
  const std::string message = error_->message();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;  // MemoryError is set
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
}

std::unexpected<Failure> raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return raised();
}

}  // namespace kestrune::python

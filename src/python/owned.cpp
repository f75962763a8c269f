#include "python/owned.hpp"

#include <string>

namespace kestrune::python {

void Failure::raise() const {
  if (!error_) return;  // the exception is already set
  const std::string message = error_->message();
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

std::unexpected<Failure> raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return raised();
}

}  // namespace kestrune::python

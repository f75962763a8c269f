// The Python class PreparedModel: the one-trait model's only way in from Python.
#pragma once

#include <Python.h>

#include "error.hpp"
#include "python/owned.hpp"

namespace kestrune::prepared {

// The class, created once per process at the first request and reused afterwards:
// borrowed, or null with the exception set when the type cannot be created.
PyObject* prepared_model_type() noexcept;

// A model's error code raised as ValueError whose whole message is the code.
inline std::unexpected<python::Failure> code(Error error) {
  return std::unexpected<python::Failure>(std::move(error));
}

}  // namespace kestrune::prepared

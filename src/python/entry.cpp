#include "python/entry.hpp"

namespace kestrune::python::detail {

void raise_runtime(const char* what) noexcept { PyErr_SetString(PyExc_RuntimeError, what); }

const char* short_name(const char* name) noexcept {
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

}  // namespace kestrune::python::detail

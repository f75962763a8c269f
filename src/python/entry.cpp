#include "python/entry.hpp"

namespace kestrune::python::detail {

void raise_runtime(const char* what) noexcept { PyErr_SetString(PyExc_RuntimeError, what); }

void raise_no_memory() noexcept {
  PyErr_SetString(PyExc_MemoryError, "not enough memory for the arrays this call needs");
}

const char* short_name(const char* name) noexcept {
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

}  // namespace kestrune::python::detail

#include "python/object.hpp"

#include <cstring>

namespace kestrune::python::detail {

std::string qualified_type_name(const char* name) {
  if (std::strchr(name, '.') != nullptr) return name;
  return std::string("builtins.") + name;
}

}  // namespace kestrune::python::detail

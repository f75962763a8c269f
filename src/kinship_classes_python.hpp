// Python entry `kinship_classes`.
#pragma once

#include <Python.h>

namespace kestrune::kinship_classes {

// Registered by the module initialiser.
extern PyMethodDef kinship_classes_function;

}  // namespace kestrune::kinship_classes

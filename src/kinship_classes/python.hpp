// The Python entry point kinship_classes(ids, father, mother, sex, keep=None).
#pragma once

#include <Python.h>

namespace kestrune::kinship_classes::python {

// The module's method-table entry for kinship_classes.
PyMethodDef kinship_classes_method();

}  // namespace kestrune::kinship_classes::python

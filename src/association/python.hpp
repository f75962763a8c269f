// The Python entry point association_sweep.
#pragma once

#include <Python.h>

namespace kestrune::association::python {

// The module's method-table entry for association_sweep.
PyMethodDef association_sweep_method();

}  // namespace kestrune::association::python

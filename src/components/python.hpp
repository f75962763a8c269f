// The Python entry points of the components model.
#pragma once

#include <Python.h>

namespace kestrune::components::python {

// The module's method-table entries, in the order the module registers them.
PyMethodDef component_fit_method();
PyMethodDef component_interval_method();
PyMethodDef component_mean_diagonal_interval_method();
PyMethodDef component_test_method();
PyMethodDef component_equality_test_method();
PyMethodDef component_contrasts_method();
PyMethodDef component_blup_method();

}  // namespace kestrune::components::python

// The Python entry points of the spatial model.
#pragma once

#include <Python.h>

namespace kestrune::spatial::python {

// The module's method-table entries.
PyMethodDef spatial_fit_method();
PyMethodDef spatial_statistic_method();
PyMethodDef spatial_interval_method();
PyMethodDef spatial_bootstrap_method();
PyMethodDef spatial_distances_method();
PyMethodDef spatial_blup_method();

}  // namespace kestrune::spatial::python

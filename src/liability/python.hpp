// The liability module's Python entries: the region kernel, and the liability-threshold model.
#pragma once

#include <Python.h>

namespace kestrune::liability::python {

// The module's method-table entry for region_log_probability.
PyMethodDef region_log_probability_method();

// The liability-threshold model's entries.
PyMethodDef liability_fit_method();
PyMethodDef liability_test_method();
PyMethodDef liability_interval_method();

}  // namespace kestrune::liability::python

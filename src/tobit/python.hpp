// The Python entries of the tobit model: tobit_fit, tobit_test and tobit_interval.
#pragma once

#include <Python.h>

namespace kestrune::tobit::python {

PyMethodDef tobit_fit_method();
PyMethodDef tobit_test_method();
PyMethodDef tobit_interval_method();

}  // namespace kestrune::tobit::python

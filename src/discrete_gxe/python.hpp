// The Python functions of the two-environment model: discrete_gxe_fit, discrete_gxe_test
// and discrete_gxe_correlation_interval.
#pragma once

#include <Python.h>

namespace kestrune::discrete_gxe::python {

PyMethodDef discrete_gxe_fit_method();
PyMethodDef discrete_gxe_test_method();
PyMethodDef discrete_gxe_correlation_interval_method();

}  // namespace kestrune::discrete_gxe::python

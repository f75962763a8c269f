// The Python entry points gxe_fit, gxe_test and gxe_interval.
#pragma once

#include <Python.h>

namespace kestrune::gxe::python {

PyMethodDef gxe_fit_method();
PyMethodDef gxe_test_method();
PyMethodDef gxe_interval_method();

}  // namespace kestrune::gxe::python

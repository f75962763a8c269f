// The Python entries of the mixed bivariate model.
#pragma once

#include <Python.h>

namespace kestrune::mixed_bivariate::python {

PyMethodDef mixed_bivariate_fit_method();
PyMethodDef mixed_bivariate_test_method();
PyMethodDef mixed_bivariate_interval_method();

}  // namespace kestrune::mixed_bivariate::python

// The Python entry points of the two-trait model.
#pragma once

#include <Python.h>

namespace kestrune::bivariate::python {

PyMethodDef bivariate_fit_method();
PyMethodDef bivariate_interval_method();
PyMethodDef bivariate_objective_method();
PyMethodDef bivariate_correlation_test_method();

}  // namespace kestrune::bivariate::python

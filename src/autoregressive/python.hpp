// The Python entry points autoregressive_fit and autoregressive_cells.
#pragma once

#include <Python.h>

namespace kestrune::autoregressive::python {

PyMethodDef autoregressive_fit_method();
PyMethodDef autoregressive_cells_method();

}  // namespace kestrune::autoregressive::python

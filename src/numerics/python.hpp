// The Python entry point weighted_chi2_upper_tail(q, weights).
#pragma once

#include <Python.h>

namespace kestrune::mixture_tail::python {

// The module's method-table entry for weighted_chi2_upper_tail.
PyMethodDef weighted_chi2_upper_tail_method();

}  // namespace kestrune::mixture_tail::python

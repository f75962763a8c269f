// The Python entry points variant_set_scan and variant_set_family_scan.
#pragma once

#include <Python.h>

namespace kestrune::variant_set::python {

// The module's method-table entries.
PyMethodDef variant_set_scan_method();
PyMethodDef variant_set_family_scan_method();

}  // namespace kestrune::variant_set::python

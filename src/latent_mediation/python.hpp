// The Python class LatentMediationCore and the function latent_mediation_simulate.
#pragma once

#include <Python.h>

namespace kestrune::latent_mediation::python {

// The class, created once per process at the first request: borrowed, or null with the
// exception set when the type cannot be created.
PyObject* latent_mediation_core_type() noexcept;

// The module's method-table entry for latent_mediation_simulate.
PyMethodDef latent_mediation_simulate_method();

}  // namespace kestrune::latent_mediation::python

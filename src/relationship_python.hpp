// Python entry `relationship`, and the ValueError both pedigree entries raise for a fault.
#pragma once

#include <Python.h>

#include "python/owned.hpp"
#include "relationship.hpp"

namespace kestrune::relationship {

// Registered by the module initialiser.
extern PyMethodDef relationship_function;

// Sets ValueError with the fault's whole message. The message is built as a Python str so
// that an empty identifier keeps its ": " and an identifier holding NUL is not cut short.
python::Fallible<python::Owned> raise_pedigree_error(const PedigreeError& error);

}  // namespace kestrune::relationship

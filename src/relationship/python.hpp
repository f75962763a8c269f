// The Python entry point relationship(ids, father, mother, mz_twin=None, keep=None), and the
// ValueError both pedigree entry points raise for a fault.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "python/arguments.hpp"
#include "python/owned.hpp"
#include "relationship/relationship.hpp"

namespace kestrune::relationship::python {

// The module's method-table entry for relationship.
PyMethodDef relationship_method();

// The three columns every pedigree entry takes first, converted in parameter order.
struct PedigreeColumns {
  std::vector<std::string> ids;
  std::vector<std::optional<std::string>> father;
  std::vector<std::optional<std::string>> mother;
};
kestrune::python::Fallible<PedigreeColumns> pedigree_columns(const kestrune::python::Argument& ids,
                                                             const kestrune::python::Argument& father,
                                                             const kestrune::python::Argument& mother);

// PEDIGREE_LENGTH_MISMATCH unless the parent columns and a further column of `further`
// entries are all as long as the identifiers.
kestrune::python::Fallible<void> check_lengths(const PedigreeColumns& columns, std::size_t further);

// The records of the columns (whose parents it moves out), with twin labels when given.
std::vector<Person> people_of(PedigreeColumns& columns,
                              std::vector<std::optional<std::string>>* twin = nullptr);

// A new C-order float64 array holding a symmetric matrix.
kestrune::python::Fallible<kestrune::python::Owned> symmetric_array(const Eigen::MatrixXd& matrix);

// Sets ValueError with the fault's whole message. The message is built as a Python str so
// that an empty identifier keeps its ": " and an identifier holding NUL is not cut short.
kestrune::python::Fallible<kestrune::python::Owned> raise_pedigree_error(const PedigreeError& error);

}  // namespace kestrune::relationship::python

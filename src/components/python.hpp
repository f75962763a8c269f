// The Python entry points of the components model, and the conversions they share.
#pragma once

#include <Python.h>

#include <Eigen/Core>

#include "components/model.hpp"
#include "python/arguments.hpp"
#include "python/owned.hpp"

namespace kestrune::components::python {

// The module's method-table entry for component_fit.
PyMethodDef component_fit_method();

// The arrays every components entry takes first, copied in parameter order: a TypeError
// names the first that is not a float64 array of its rank (or, for `matrices`, a sequence
// of them). Nothing is tested beyond that; the model and the fit test the rest.
struct Arrays {
  Matrices matrices;
  Eigen::MatrixXd design;
  Eigen::VectorXd y;
};
kestrune::python::Fallible<Arrays> copy_arrays(const kestrune::python::Argument& matrices,
                                               const kestrune::python::Argument& design,
                                               const kestrune::python::Argument& y);

// ComponentModel::build on the copies, which move into the model; its code as ValueError.
kestrune::python::Fallible<ComponentModel> build(Matrices matrices, Eigen::MatrixXd design);

}  // namespace kestrune::components::python

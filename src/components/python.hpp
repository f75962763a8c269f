// The Python entry points of the components model, and the conversions they share.
#pragma once

#include <Python.h>

#include <Eigen/Core>

#include "components/model.hpp"
#include "python/arguments.hpp"
#include "python/owned.hpp"

namespace kestrune::components::python {

// The module's method-table entries, in the order the module registers them.
PyMethodDef component_fit_method();
PyMethodDef component_interval_method();
PyMethodDef component_mean_diagonal_interval_method();
PyMethodDef component_test_method();
PyMethodDef component_equality_test_method();
PyMethodDef component_contrasts_method();
PyMethodDef component_blup_method();

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

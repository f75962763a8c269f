// The Python functions of the two-environment model: discrete_gxe_fit, discrete_gxe_test
// and discrete_gxe_correlation_interval.
#pragma once

#include <Python.h>

#include <array>
#include <optional>

#include <Eigen/Core>

#include "discrete_gxe/model.hpp"
#include "python/owned.hpp"

namespace kestrune::discrete_gxe::python {

// The model from the call's copies; its construction code becomes the failure.
kestrune::python::Fallible<DiscreteGxeModel> build_expecting(const Eigen::MatrixXd& relationship,
                                                             const Eigen::VectorXd& environment,
                                                             const Eigen::MatrixXd& design,
                                                             std::optional<std::array<double, 2>> levels);

PyMethodDef discrete_gxe_fit_method();
PyMethodDef discrete_gxe_test_method();
PyMethodDef discrete_gxe_correlation_interval_method();

}  // namespace kestrune::discrete_gxe::python

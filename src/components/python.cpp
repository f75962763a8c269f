#include "components/python.hpp"

#include <span>
#include <utility>

#include "python/toolkit.hpp"

namespace kestrune::components::python {
namespace {

namespace py = kestrune::python;
using py::Fallible;
using py::Owned;

std::unexpected<py::Failure> code(Error error) { return std::unexpected<py::Failure>(std::move(error)); }

Fallible<Owned> list_of(const std::vector<double>& values) { return py::make_list(std::span<const double>(values)); }

// ---- component_fit ---------------------------------------------------------------------------

constexpr auto fit_signature = py::signature("component_fit", py::required("matrices"), py::required("design"),
                                             py::required("y"), py::optional("reml"));

Fallible<Owned> fit_tuple(const ComponentFit& fit) {
  return py::make_tuple(list_of(fit.coefficients), list_of(fit.proportions), py::make_float(fit.total),
                        py::make_float(fit.loglik), py::make_float(fit.scaled_gradient),
                        py::make_bool(fit.converged), list_of(fit.beta), list_of(fit.beta_se),
                        py::make_int(fit.convergence), py::make_str(fit.message), py::make_bool(fit.polished));
}

Fallible<Owned> component_fit(const py::Arguments<4>& args) {
  auto arrays = copy_arrays(args[0], args[1], args[2]);
  if (!arrays) return std::unexpected(arrays.error());
  auto reml = py::extract_or(args[3], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  auto model = build(std::move(arrays->matrices), std::move(arrays->design));
  if (!model) return std::unexpected(model.error());
  auto fit = model->fit_general(arrays->y, *reml, {}, {});
  if (!fit) return code(std::move(fit.error()));
  return fit_tuple(*fit);
}

constexpr const char fit_doc[] =
    "component_fit(matrices, design, y, reml=True)\n--\n\n"
    "Fit one trait with any number of variance components.\n\n"
    "`matrices` are the structured components in order; the residual is added\n"
    "for you and is always last in what comes back.";

}  // namespace

Fallible<Arrays> copy_arrays(const py::Argument& matrices, const py::Argument& design, const py::Argument& y) {
  auto matrix_list = py::copy_matrix_list(matrices);
  if (!matrix_list) return std::unexpected(matrix_list.error());
  auto design_copy = py::copy_matrix(design);
  if (!design_copy) return std::unexpected(design_copy.error());
  auto response = py::copy_vector(y);
  if (!response) return std::unexpected(response.error());
  return Arrays{std::move(*matrix_list), std::move(*design_copy), std::move(*response)};
}

Fallible<ComponentModel> build(Matrices matrices, Eigen::MatrixXd design) {
  auto model = ComponentModel::build(std::move(matrices), std::move(design));
  if (!model) return code(std::move(model.error()));
  return std::move(*model);
}

PyMethodDef component_fit_method() { return py::function<fit_signature, component_fit>(fit_doc); }

}  // namespace kestrune::components::python

#include "spatial/python.hpp"

#include <utility>
#include <vector>

#include "python/toolkit.hpp"
#include "spatial/model.hpp"

namespace kestrune::spatial::python {
namespace {

namespace py = kestrune::python;
using py::Fallible;
using py::Owned;

std::unexpected<py::Failure> code(Error error) { return std::unexpected<py::Failure>(std::move(error)); }

// The arguments every model entry shares, extracted in signature order, so a TypeError
// names the first bad one; the arrays are copies the model takes over.
struct Inputs {
  std::vector<Eigen::MatrixXd> fixed;
  Eigen::MatrixXd distance;
  Eigen::MatrixXd design;
  Eigen::VectorXd y;
};

Fallible<Inputs> inputs(const py::Argument& fixed, const py::Argument& distance, const py::Argument& design,
                        const py::Argument& y) {
  auto fixed_copy = py::copy_matrix_list(fixed);
  if (!fixed_copy) return std::unexpected(fixed_copy.error());
  auto distance_copy = py::copy_matrix(distance);
  if (!distance_copy) return std::unexpected(distance_copy.error());
  auto design_copy = py::copy_matrix(design);
  if (!design_copy) return std::unexpected(design_copy.error());
  auto y_copy = py::copy_vector(y);
  if (!y_copy) return std::unexpected(y_copy.error());
  return Inputs{std::move(*fixed_copy), std::move(*distance_copy), std::move(*design_copy), std::move(*y_copy)};
}

Fallible<SpatialModel> model_of(Inputs& inputs) {
  auto model = SpatialModel::build(std::move(inputs.fixed), inputs.distance, std::move(inputs.design));
  if (!model) return code(std::move(model.error()));
  return std::move(*model);
}

Fallible<Owned> list(const std::vector<double>& values) { return py::make_list(std::span<const double>(values)); }

// ---- spatial_fit --------------------------------------------------------------------

constexpr auto fit_signature = py::signature("spatial_fit", py::required("fixed"), py::required("distance"),
                                             py::required("design"), py::required("y"), py::optional("reml"),
                                             py::optional("integrated"));

constexpr const char* fit_doc =
    "spatial_fit(fixed, distance, design, y, reml=True, integrated=False)\n--\n\n"
    "Fit one trait with fixed components plus an estimated spatial range.\n\n"
    "Returns the raw covariance coefficients, their scale-dependent\n"
    "proportions and total, the decay rate per\n"
    "kilometre, the distance at which the spatial correlation is a half, the\n"
    "log-likelihood, the scaled gradient and whether it converged.";

Fallible<Owned> fit_tuple(const SpatialFit& fit) {
  return py::make_tuple(list(fit.coefficients), list(fit.proportions), py::make_float(fit.total),
                        py::make_float(fit.decay_rate), py::make_float(fit.half_distance),
                        py::make_float(fit.loglik), py::make_float(fit.scaled_gradient), py::make_bool(fit.converged),
                        py::make_bool(fit.polished), list(fit.beta), list(fit.beta_se));
}

Fallible<Owned> spatial_fit(const py::Arguments<6>& args) {
  auto given = inputs(args[0], args[1], args[2], args[3]);
  if (!given) return std::unexpected(given.error());
  auto reml = py::extract_or(args[4], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  auto integrated = py::extract_or(args[5], py::as_bool, false);
  if (!integrated) return std::unexpected(integrated.error());
  auto model = model_of(*given);
  if (!model) return std::unexpected(model.error());
  Workspace workspace;
  auto fit = *integrated ? model->fit_integrated(given->y, *reml, workspace) : model->fit(given->y, *reml, workspace);
  if (!fit) return code(std::move(fit.error()));
  return fit_tuple(*fit);
}

// ---- spatial_distances --------------------------------------------------------------

constexpr auto distances_signature =
    py::signature("spatial_distances", py::required("latitude"), py::required("longitude"));

constexpr const char* distances_doc =
    "spatial_distances(latitude, longitude)\n--\n\n"
    "Pairwise great-circle distances in kilometres.\n\n"
    "Here rather than in the caller so that every distance in this package is\n"
    "the same distance, on the same Earth, whoever asked for it.";

Fallible<Owned> spatial_distances(const py::Arguments<2>& args) {
  auto latitude = py::copy_vector(args[0]);
  if (!latitude) return std::unexpected(latitude.error());
  auto longitude = py::copy_vector(args[1]);
  if (!longitude) return std::unexpected(longitude.error());
  auto distance = pairwise_haversine_km(std::span<const double>(latitude->data(), latitude->size()),
                                        std::span<const double>(longitude->data(), longitude->size()));
  if (!distance) return code(std::move(distance.error()));
  std::vector<Fallible<Owned>> rows;
  for (Eigen::Index i = 0; i < distance->rows(); ++i) {
    const Eigen::VectorXd row = distance->row(i).transpose();
    rows.push_back(py::make_list(std::span<const double>(row.data(), row.size())));
    if (!rows.back()) break;
  }
  return py::make_list(std::move(rows));
}

}  // namespace

PyMethodDef spatial_fit_method() { return py::function<fit_signature, spatial_fit>(fit_doc); }
PyMethodDef spatial_distances_method() { return py::function<distances_signature, spatial_distances>(distances_doc); }

}  // namespace kestrune::spatial::python

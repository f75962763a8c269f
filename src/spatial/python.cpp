#include "spatial/python.hpp"

#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

#include "python/interval.hpp"
#include "python/toolkit.hpp"
#include "spatial/model.hpp"

namespace kestrune::spatial::python {
namespace {

namespace py = kestrune::python;
using py::Fallible;
using py::Owned;

std::unexpected<py::Failure> code(Error error) { return std::unexpected<py::Failure>(std::move(error)); }

// The arguments every model entry shares, extracted in signature order, so a TypeError
// names the first bad one. The matrices are read in place while the model is built, which
// copies what it keeps once its checks have passed; the response is copied.
struct Inputs {
  std::vector<py::MatrixView> fixed;
  py::MatrixView distance;
  py::MatrixView design;
  Eigen::VectorXd y;
};

Fallible<Inputs> inputs(const py::Argument& fixed, const py::Argument& distance, const py::Argument& design,
                        const py::Argument& y) {
  auto fixed_views = py::view_matrix_list(fixed);
  if (!fixed_views) return std::unexpected(fixed_views.error());
  auto distance_view = py::MatrixView::from(distance);
  if (!distance_view) return std::unexpected(distance_view.error());
  auto design_view = py::MatrixView::from(design);
  if (!design_view) return std::unexpected(design_view.error());
  auto y_copy = py::copy_vector(y);
  if (!y_copy) return std::unexpected(y_copy.error());
  return Inputs{std::move(*fixed_views), std::move(*distance_view), std::move(*design_view), std::move(*y_copy)};
}

Fallible<SpatialModel> model_of(Inputs& inputs) {
  auto model = SpatialModel::build(py::strided_list(inputs.fixed), inputs.distance.strided(), inputs.design.strided());
  if (!model) return code(std::move(model.error()));
  return std::move(*model);
}

// The options every model entry ends with.
struct Options {
  bool reml;
  bool integrated;
};

Fallible<Options> options(const py::Argument& reml, const py::Argument& integrated) {
  auto r = py::extract_or(reml, py::as_bool, true);
  if (!r) return std::unexpected(r.error());
  auto i = py::extract_or(integrated, py::as_bool, false);
  if (!i) return std::unexpected(i.error());
  return Options{*r, *i};
}

// What an entry calls the model with: the model, the response and the trailing options,
// extracted after everything before them, so the model is built only once every argument
// has converted. The interval entry reads its quantity between the two and does them itself.
struct Call {
  SpatialModel model;
  Eigen::VectorXd y;
  bool reml;
  bool integrated;
};

Fallible<Call> prepare(Inputs& inputs, const py::Argument& reml, const py::Argument& integrated) {
  auto option = options(reml, integrated);
  if (!option) return std::unexpected(option.error());
  auto model = model_of(inputs);
  if (!model) return std::unexpected(model.error());
  return Call{std::move(*model), std::move(inputs.y), option->reml, option->integrated};
}

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
  return py::make_tuple(py::make_list(fit.coefficients), py::make_list(fit.proportions), py::make_float(fit.total),
                        py::make_float(fit.decay_rate), py::make_float(fit.half_distance),
                        py::make_float(fit.loglik), py::make_float(fit.scaled_gradient), py::make_bool(fit.converged),
                        py::make_bool(fit.polished), py::make_list(fit.beta), py::make_list(fit.beta_se));
}

Fallible<Owned> spatial_fit(const py::Arguments<6>& args) {
  auto given = inputs(args[0], args[1], args[2], args[3]);
  if (!given) return std::unexpected(given.error());
  auto call = prepare(*given, args[4], args[5]);
  if (!call) return std::unexpected(call.error());
  Workspace workspace;
  auto fit = call->integrated ? call->model.fit_integrated(call->y, call->reml, workspace)
                              : call->model.fit(call->y, call->reml, workspace);
  if (!fit) return code(std::move(fit.error()));
  return fit_tuple(*fit);
}

// ---- spatial_statistic --------------------------------------------------------------

constexpr auto statistic_signature =
    py::signature("spatial_statistic", py::required("fixed"), py::required("distance"), py::required("design"),
                  py::required("y"), py::optional("reml"), py::optional("integrated"));

constexpr const char* statistic_doc =
    "spatial_statistic(fixed, distance, design, y, reml=True, integrated=False)\n--\n\n"
    "The likelihood ratio against no spatial variance.\n\n"
    "**This is a statistic and not a p-value.** With the decay rate\n"
    "unidentified when the spatial variance is nought, there is no closed-form\n"
    "null distribution, so turning this into a p-value takes a bootstrap.";

Fallible<Owned> spatial_statistic(const py::Arguments<6>& args) {
  auto given = inputs(args[0], args[1], args[2], args[3]);
  if (!given) return std::unexpected(given.error());
  auto call = prepare(*given, args[4], args[5]);
  if (!call) return std::unexpected(call.error());
  Workspace workspace;
  auto statistic = call->model.spatial_statistic(call->y, call->reml, call->integrated, workspace);
  if (!statistic) return code(std::move(statistic.error()));
  return py::make_float(*statistic);
}

// ---- spatial_bootstrap --------------------------------------------------------------

constexpr auto bootstrap_signature =
    py::signature("spatial_bootstrap", py::required("fixed"), py::required("distance"), py::required("design"),
                  py::required("y"), py::required("replicates"), py::required("seed"), py::optional("reml"),
                  py::optional("integrated"));

constexpr const char* bootstrap_doc =
    "spatial_bootstrap(fixed, distance, design, y, replicates, seed, reml=True, integrated=False)\n--\n\n"
    "The parametric bootstrap p-value for no spatial variance.\n\n"
    "Returns the observed statistic, the exceedances, the replicates that\n"
    "produced a usable statistic, the number asked for, the p-value and the\n"
    "rule.";

Fallible<Owned> spatial_bootstrap(const py::Arguments<8>& args) {
  auto given = inputs(args[0], args[1], args[2], args[3]);
  if (!given) return std::unexpected(given.error());
  auto replicates = py::extract(args[4], py::as_uint64);
  if (!replicates) return std::unexpected(replicates.error());
  auto seed = py::extract(args[5], py::as_uint64);
  if (!seed) return std::unexpected(seed.error());
  auto call = prepare(*given, args[6], args[7]);
  if (!call) return std::unexpected(call.error());
  auto record = call->model.bootstrap_spatial_variance(call->y, call->reml, *replicates, *seed, call->integrated);
  if (!record) return code(std::move(record.error()));
  return py::make_tuple(py::make_float(record->statistic), py::make_uint(record->exceedances),
                        py::make_uint(record->usable), py::make_uint(record->requested),
                        py::make_float(record->p_value), py::make_str(record->rule));
}

// ---- spatial_interval ---------------------------------------------------------------

constexpr auto interval_signature =
    py::signature("spatial_interval", py::required("fixed"), py::required("distance"), py::required("design"),
                  py::required("y"), py::required("quantity"), py::optional("reml"), py::optional("integrated"));

constexpr const char* interval_doc =
    "spatial_interval(fixed, distance, design, y, quantity, reml=True, integrated=False)\n--\n\n"
    "A 95 per cent profile interval for a raw coefficient proportion, or for\n"
    "the decay rate.\n\n"
    "`quantity` is an index into the variances, or the string `lambda`.";

// "lambda", or an optional '+' and ASCII digits whose value fits in 64 bits.
Result<Held> parse_quantity(std::string_view text) {
  if (text == "lambda") return Held{Held::Kind::decay, 0};
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  std::uint64_t index = 0;
  if (digits) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (ec == std::errc{} && end == text.data() + text.size()) {
      return Held{Held::Kind::proportion, static_cast<std::size_t>(index)};
    }
  }
  return fail("SPATIAL_QUANTITY_UNKNOWN");
}

Fallible<Owned> spatial_interval(const py::Arguments<7>& args) {
  auto given = inputs(args[0], args[1], args[2], args[3]);
  if (!given) return std::unexpected(given.error());
  auto quantity = py::extract(args[4], py::as_str);
  if (!quantity) return std::unexpected(quantity.error());
  auto option = options(args[5], args[6]);
  if (!option) return std::unexpected(option.error());
  auto held = parse_quantity(*quantity);
  if (!held) return code(std::move(held.error()));
  auto model = model_of(*given);
  if (!model) return std::unexpected(model.error());
  auto record = model->profile_interval(given->y, option->reml, *held, option->integrated);
  if (!record) return code(std::move(record.error()));
  return py::make_interval_tuple(*record);
}

// ---- spatial_blup -------------------------------------------------------------------

constexpr auto blup_signature =
    py::signature("spatial_blup", py::required("fixed"), py::required("distance"), py::required("design"),
                  py::required("y"), py::required("component"), py::optional("reml"), py::optional("integrated"));

constexpr const char* blup_doc =
    "spatial_blup(fixed, distance, design, y, component, reml=True, integrated=False)\n--\n\n"
    "Predict the random effects of one component.";

Fallible<Owned> spatial_blup(const py::Arguments<7>& args) {
  auto given = inputs(args[0], args[1], args[2], args[3]);
  if (!given) return std::unexpected(given.error());
  auto component = py::extract(args[4], py::as_uint64);
  if (!component) return std::unexpected(component.error());
  auto call = prepare(*given, args[5], args[6]);
  if (!call) return std::unexpected(call.error());
  auto prediction = call->model.blup(call->y, call->reml, static_cast<std::size_t>(*component), call->integrated);
  if (!prediction) return code(std::move(prediction.error()));
  return py::make_tuple(py::make_list(prediction->effects), py::make_list(prediction->standard_errors));
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
    rows.push_back(py::make_list(row));
    if (!rows.back()) break;
  }
  return py::make_list(std::move(rows));
}

}  // namespace

PyMethodDef spatial_fit_method() { return py::function<fit_signature, spatial_fit>(fit_doc); }
PyMethodDef spatial_statistic_method() { return py::function<statistic_signature, spatial_statistic>(statistic_doc); }
PyMethodDef spatial_bootstrap_method() { return py::function<bootstrap_signature, spatial_bootstrap>(bootstrap_doc); }
PyMethodDef spatial_interval_method() { return py::function<interval_signature, spatial_interval>(interval_doc); }
PyMethodDef spatial_blup_method() { return py::function<blup_signature, spatial_blup>(blup_doc); }
PyMethodDef spatial_distances_method() { return py::function<distances_signature, spatial_distances>(distances_doc); }

}  // namespace kestrune::spatial::python

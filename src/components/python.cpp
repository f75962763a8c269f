#include "components/python.hpp"

#include <cstdint>
#include <type_traits>
#include <span>
#include <utility>

#include "components/inference.hpp"
#include "python/toolkit.hpp"

namespace kestrune::components::python {
namespace {

namespace py = kestrune::python;
using py::Fallible;
using py::Owned;

std::unexpected<py::Failure> code(Error error) { return std::unexpected<py::Failure>(std::move(error)); }

// ---- component_fit ---------------------------------------------------------------------------

constexpr auto fit_signature = py::signature("component_fit", py::required("matrices"), py::required("design"),
                                             py::required("y"), py::optional("reml"));

// The arrays every components entry takes first, in parameter order: a TypeError names the
// first that is not a float64 array of its rank (or, for `matrices`, a sequence of them).
// Nothing is tested beyond that; the model and the fit test the rest. The matrices, as large as
// the sample squared, and the design are read in place while the model is built, which copies
// what it keeps once its checks pass; the response is copied.
struct Arrays {
  std::vector<py::MatrixView> matrices;
  py::MatrixView design;
  Eigen::VectorXd y;
};

Fallible<Arrays> take_arrays(const py::Argument& matrices, const py::Argument& design, const py::Argument& y) {
  auto views = py::view_matrix_list(matrices);
  if (!views) return std::unexpected(views.error());
  auto design_view = py::MatrixView::from(design);
  if (!design_view) return std::unexpected(design_view.error());
  auto response = py::copy_vector(y);
  if (!response) return std::unexpected(response.error());
  return Arrays{std::move(*views), std::move(*design_view), std::move(*response)};
}

// ComponentModel::build on the arrays; its code as ValueError. The model keeps its own blocks of
// the matrices, so the arrays may go once it is built.
Fallible<ComponentModel> build(Arrays& arrays) {
  auto model = ComponentModel::build(py::strided_list(arrays.matrices), arrays.design.strided());
  arrays.matrices.clear();
  if (!model) return code(std::move(model.error()));
  return std::move(*model);
}

Fallible<Owned> fit_tuple(const ComponentFit& fit) {
  return py::make_tuple(py::make_list(fit.coefficients), py::make_list(fit.proportions), py::make_float(fit.total),
                        py::make_float(fit.loglik), py::make_float(fit.scaled_gradient),
                        py::make_bool(fit.converged), py::make_list(fit.beta), py::make_list(fit.beta_se),
                        py::make_int(fit.convergence), py::make_str(fit.message), py::make_bool(fit.polished));
}

Fallible<Owned> component_fit(const py::Arguments<4>& args) {
  auto arrays = take_arrays(args[0], args[1], args[2]);
  if (!arrays) return std::unexpected(arrays.error());
  auto reml = py::extract_or(args[3], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  auto model = build(*arrays);
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

// ---- the entries that take one more argument after y --------------------------------------

// The converted arguments of an entry (matrices, design, y, one index argument, reml), the
// model built from the first two.
template <class Index>
struct Call {
  ComponentModel model;
  Eigen::VectorXd y;
  Index index;
  bool reml;
};

// Converts in parameter order, then builds: every TypeError comes before any model code.
template <auto Convert>
Fallible<Call<py::converted_t<decltype(Convert)>>> convert_call(const py::Arguments<5>& args) {
  auto arrays = take_arrays(args[0], args[1], args[2]);
  if (!arrays) return std::unexpected(arrays.error());
  auto index = py::extract(args[3], Convert);
  if (!index) return std::unexpected(index.error());
  auto reml = py::extract_or(args[4], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  auto model = build(*arrays);
  if (!model) return std::unexpected(model.error());
  return Call<py::converted_t<decltype(Convert)>>{std::move(*model), std::move(arrays->y), std::move(*index),
                                                  *reml};
}

constexpr auto as_index = py::as_uint64;
constexpr auto as_indices = py::as_list<py::as_uint64>;

// Indices convert as unsigned 64-bit integers, which are the model's sizes on the platforms built for.
static_assert(std::is_same_v<std::uint64_t, std::size_t>);

// The parameters of every entry but component_fit.
constexpr auto five(const char* name, const char* index) {
  return py::signature(name, py::required("matrices"), py::required("design"), py::required("y"),
                       py::required(index), py::optional("reml"));
}

Fallible<Owned> test_tuple(const ComponentTest& test) {
  return py::make_tuple(py::make_float(test.statistic), py::make_float(test.p_value), py::make_str(test.reference),
                        py::make_float(test.null_loglik));
}

// ---- component_test and component_equality_test --------------------------------------------

constexpr auto test_signature = five("component_test", "component");

Fallible<Owned> test_body(const py::Arguments<5>& args) {
  auto call = convert_call<as_index>(args);
  if (!call) return std::unexpected(call.error());
  auto test = component_test(call->model, call->y, call->index, call->reml);
  if (!test) return code(std::move(test.error()));
  return test_tuple(*test);
}

constexpr const char test_doc[] =
    "component_test(matrices, design, y, component, reml=True)\n--\n\n"
    "Test one component against having no variance at all.";

constexpr auto equality_signature = five("component_equality_test", "components");

Fallible<Owned> equality_body(const py::Arguments<5>& args) {
  auto call = convert_call<as_indices>(args);
  if (!call) return std::unexpected(call.error());
  auto test = equality_test(call->model, call->y, call->index, call->reml);
  if (!test) return code(std::move(test.error()));
  return test_tuple(*test);
}

constexpr const char equality_doc[] =
    "component_equality_test(matrices, design, y, components, reml=True)\n--\n\n"
    "Test whether several components share one variance.\n\n"
    "`components` indexes the structured matrices; pooling every one of them makes\n"
    "the null the ordinary model with a single structured component.";

// ---- component_interval and component_mean_diagonal_interval --------------------------------

constexpr auto interval_signature = five("component_interval", "component");

Fallible<Owned> interval_body(const py::Arguments<5>& args) {
  auto call = convert_call<as_index>(args);
  if (!call) return std::unexpected(call.error());
  auto found = profile_interval(call->model, call->y, call->index, call->reml);
  if (!found) return code(std::move(found.error()));
  return py::make_tuple(py::make_float(found->lower), py::make_float(found->upper),
                        py::make_bool(found->lower_limited), py::make_bool(found->upper_limited),
                        py::make_float(found->level), py::make_uint(found->profile_failures));
}

constexpr const char interval_doc[] =
    "component_interval(matrices, design, y, component, reml=True)\n--\n\n"
    "A 95 per cent profile interval for one raw coefficient proportion.";

constexpr auto mean_diagonal_signature = five("component_mean_diagonal_interval", "component");

Fallible<Owned> mean_diagonal_body(const py::Arguments<5>& args) {
  auto call = convert_call<as_index>(args);
  if (!call) return std::unexpected(call.error());
  auto found = mean_diagonal_profile_interval(call->model, call->y, call->index, call->reml);
  if (!found) return code(std::move(found.error()));
  return py::make_tuple(py::make_float(*found->estimate), py::make_float(found->lower),
                        py::make_float(found->upper), py::make_bool(found->lower_limited),
                        py::make_bool(found->upper_limited), py::make_float(found->level),
                        py::make_uint(found->profile_failures));
}

constexpr const char mean_diagonal_doc[] =
    "component_mean_diagonal_interval(matrices, design, y, component, reml=True)\n--\n\n"
    "A 95 per cent profile interval for one scale-invariant mean-diagonal\n"
    "contribution proportion.";

// ---- component_contrasts -------------------------------------------------------------------

constexpr auto contrasts_signature = five("component_contrasts", "classes");

Fallible<Owned> contrast_tuple(const Contrast& row) {
  return py::make_tuple(py::make_float(row.difference), py::make_float(row.lower), py::make_float(row.upper),
                        py::make_bool(row.lower_limited), py::make_bool(row.upper_limited),
                        py::make_float(row.p_value), py::make_float(row.statistic));
}

Fallible<Owned> contrasts_body(const py::Arguments<5>& args) {
  auto call = convert_call<as_indices>(args);
  if (!call) return std::unexpected(call.error());
  auto rows = contrasts(call->model, call->y, call->index, call->reml);
  if (!rows) return code(std::move(rows.error()));
  return py::make_list_of(*rows, contrast_tuple);
}

constexpr const char contrasts_doc[] =
    "component_contrasts(matrices, design, y, classes, reml=True)\n--\n\n"
    "Every class's difference from a shared baseline, with an interval each.\n\n"
    "`classes` indexes the structured matrices that are the classes of one split.\n"
    "One row per class: the difference from the mean of the class variances, its\n"
    "interval, whether either end ran to a limit, and the test against the class\n"
    "matching the baseline.";

// ---- component_blup ------------------------------------------------------------------------

constexpr auto blup_signature = five("component_blup", "component");

Fallible<Owned> blup_body(const py::Arguments<5>& args) {
  auto call = convert_call<as_index>(args);
  if (!call) return std::unexpected(call.error());
  auto predicted = blup(call->model, call->y, call->index, call->reml);
  if (!predicted) return code(std::move(predicted.error()));
  return py::make_tuple(py::make_list(predicted->first), py::make_list(predicted->second));
}

constexpr const char blup_doc[] =
    "component_blup(matrices, design, y, component, reml=True)\n--\n\n"
    "Predict the random effects of one component.\n\n"
    "Returns one predicted effect per person and the standard error of each,\n"
    "in the order the matrices are indexed.";

}  // namespace

PyMethodDef component_fit_method() { return py::function<fit_signature, component_fit>(fit_doc); }
PyMethodDef component_interval_method() { return py::function<interval_signature, interval_body>(interval_doc); }
PyMethodDef component_mean_diagonal_interval_method() {
  return py::function<mean_diagonal_signature, mean_diagonal_body>(mean_diagonal_doc);
}
PyMethodDef component_test_method() { return py::function<test_signature, test_body>(test_doc); }
PyMethodDef component_equality_test_method() {
  return py::function<equality_signature, equality_body>(equality_doc);
}
PyMethodDef component_contrasts_method() { return py::function<contrasts_signature, contrasts_body>(contrasts_doc); }
PyMethodDef component_blup_method() { return py::function<blup_signature, blup_body>(blup_doc); }

}  // namespace kestrune::components::python

#include "discrete_gxe/python.hpp"

#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "discrete_gxe/model.hpp"
#include "python/interval.hpp"
#include "python/test_record.hpp"
#include "python/toolkit.hpp"

namespace kestrune::discrete_gxe::python {

namespace py = kestrune::python;
using py::Fallible;
using py::Owned;

namespace {

// The four arrays every entry takes first, in signature order: the relationship, as large as the
// sample squared, and the design read in place while the model is built, which copies what it
// keeps once its checks pass; the others copied.
struct Arrays {
  py::MatrixView relationship;
  Eigen::VectorXd environment;
  py::MatrixView design;
  Eigen::VectorXd response;
};

template <std::size_t N>
Fallible<Arrays> take_arrays(const py::Arguments<N>& args) {
  auto relationship = py::MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  auto environment = py::copy_vector(args[1]);
  if (!environment) return std::unexpected(environment.error());
  auto design = py::MatrixView::from(args[2]);
  if (!design) return std::unexpected(design.error());
  auto response = py::copy_vector(args[3]);
  if (!response) return std::unexpected(response.error());
  return Arrays{std::move(*relationship), std::move(*environment), std::move(*design), std::move(*response)};
}

// What an entry calls the model with: the model built from the arrays and the trailing
// reml and levels, and the response.
struct Call {
  DiscreteGxeModel model;
  Eigen::VectorXd response;
  bool reml;
};

// reml and levels, the two trailing parameters of every entry, extracted after everything
// before them; the model is built only once every argument has converted.
Fallible<Call> prepare(Arrays& arrays, const py::Argument& reml, const py::Argument& levels) {
  auto estimator = py::extract_or(reml, py::as_bool, true);
  if (!estimator) return std::unexpected(estimator.error());
  auto expected = py::extract_optional(levels, py::as_array<py::as_float, 2>);
  if (!expected) return std::unexpected(expected.error());
  auto model = DiscreteGxeModel::build_expecting(arrays.relationship.strided(), arrays.environment, arrays.design.strided(),
                                                 *expected);
  if (!model) return std::unexpected(py::Failure(std::move(model.error())));
  return Call{std::move(*model), std::move(arrays.response), *estimator};
}

// A model's error code, to be raised as ValueError.
template <class Expected>
std::unexpected<py::Failure> code(Expected& result) {
  return std::unexpected(py::Failure(std::move(result.error())));
}

// g / (g + e) of one group; NaN when the total is not positive.
double heritability(double genetic, double residual) {
  const double total = genetic + residual;
  return total > 0.0 ? genetic / total : std::numeric_limits<double>::quiet_NaN();
}

// ---- discrete_gxe_fit ---------------------------------------------------------------------

constexpr auto fit_signature =
    py::signature("discrete_gxe_fit", py::required("relationship"), py::required("environment"),
                  py::required("design"), py::required("response"), py::optional("reml"), py::optional("levels"));

constexpr const char* fit_doc =
    "discrete_gxe_fit(relationship, environment, design, response, reml=True, levels=None)\n--\n\n"
    "Fit one trait with the genes allowed to act differently in the two\n"
    "environments.\n\n"
    "`environment` is one label per person and must take exactly two\n"
    "distinct finite values; the smaller label names the first group. Sex\n"
    "coded 1 and 2 is the canonical use.\n\n"
    "Returns the two genetic variances, the two residual variances, the two\n"
    "heritabilities, the genetic correlation across the environments, the\n"
    "fixed effects and their standard errors, the log likelihood, whether\n"
    "the search converged, its scaled gradient, how many people fell in each\n"
    "group, and the two environment labels.";

Fallible<Owned> fit_body(const py::Arguments<6>& args) {
  auto arrays = take_arrays(args);
  if (!arrays) return std::unexpected(arrays.error());
  auto call = prepare(*arrays, args[4], args[5]);
  if (!call) return std::unexpected(call.error());
  auto fit = call->model.fit_under(call->response, call->reml, Constraint{});
  if (!fit) return code(fit);

  const std::array<double, 2> heritabilities = {
      heritability(fit->genetic_variances[0], fit->residual_variances[0]),
      heritability(fit->genetic_variances[1], fit->residual_variances[1])};
  return py::make_tuple(py::make_list(fit->genetic_variances), py::make_list(fit->residual_variances),
                        py::make_list(heritabilities), py::make_float(fit->correlation), py::make_list(fit->beta),
                        py::make_list(fit->beta_se), py::make_float(fit->loglik), py::make_bool(fit->converged),
                        py::make_bool(fit->polished), py::make_float(fit->scaled_gradient),
                        py::make_list_of(fit->group_sizes, py::make_uint), py::make_list(fit->levels));
}

// ---- discrete_gxe_test --------------------------------------------------------------------

constexpr auto test_signature = py::signature(
    "discrete_gxe_test", py::required("relationship"), py::required("environment"), py::required("design"),
    py::required("response"), py::required("which"), py::optional("reml"), py::optional("levels"));

constexpr const char* test_doc =
    "discrete_gxe_test(relationship, environment, design, response, which, reml=True, levels=None)\n--\n\n"
    "One discrete gene-by-environment test.\n\n"
    "`which` selects it:\n\n"
    "- `\"gene_by_environment\"` -- a genetic difference of any kind, with the\n"
    "  two residual variances left free. **Read this one first**; it is what\n"
    "  stops the others being read as separate findings.\n"
    "- `\"any_difference\"` -- anything at all differing between the\n"
    "  environments, including the residual. Not a genetic test: a trait\n"
    "  measured more noisily in one environment rejects it with nothing\n"
    "  genetic happening.\n"
    "- `\"correlation\"` -- are the genes the same in both environments? This\n"
    "  is the gene-by-environment question proper.\n"
    "- `\"genetic\"` -- is the genetic variance the same? A difference of scale,\n"
    "  which a difference of measurement units can produce.\n"
    "- `\"residual\"` -- is the residual variance the same? Report it beside the\n"
    "  others; it is a measurement fact, not a genetic finding.\n\n"
    "Returns the statistic, the p-value, the reference distribution it is a\n"
    "tail of, and the two log likelihoods.";

using TestOperation = Result<DiscreteGxeTest> (DiscreteGxeModel::*)(const Eigen::VectorXd&, bool) const;

// The test a name selects; matching is exact.
std::optional<TestOperation> test_named(const std::string& which) {
  if (which == "gene_by_environment") return &DiscreteGxeModel::gene_by_environment_test;
  if (which == "any_difference") return &DiscreteGxeModel::any_difference_test;
  if (which == "correlation") return &DiscreteGxeModel::correlation_test;
  if (which == "genetic") return &DiscreteGxeModel::genetic_equality_test;
  if (which == "residual") return &DiscreteGxeModel::residual_equality_test;
  return std::nullopt;
}

Fallible<Owned> test_body(const py::Arguments<7>& args) {
  auto arrays = take_arrays(args);
  if (!arrays) return std::unexpected(arrays.error());
  auto which = py::extract(args[4], py::as_str);
  if (!which) return std::unexpected(which.error());
  auto call = prepare(*arrays, args[5], args[6]);
  if (!call) return std::unexpected(call.error());
  const auto operation = test_named(*which);
  if (!operation) {
    return py::raise(PyExc_ValueError,
                     "which must be one of gene_by_environment, any_difference, correlation, genetic, residual");
  }
  auto test = (call->model.*(*operation))(call->response, call->reml);
  if (!test) return code(test);
  return py::make_test_tuple(test->statistic, test->p_value, test->reference, test->null_loglik, test->full_loglik);
}

// ---- discrete_gxe_correlation_interval ----------------------------------------------------

constexpr auto interval_signature =
    py::signature("discrete_gxe_correlation_interval", py::required("relationship"), py::required("environment"),
                  py::required("design"), py::required("response"), py::optional("reml"), py::optional("levels"));

constexpr const char* interval_doc =
    "discrete_gxe_correlation_interval(relationship, environment, design, response, reml=True, levels=None)\n"
    "--\n\n"
    "A 95 per cent profile interval for the genetic correlation across the two\n"
    "environments.\n\n"
    "Returns the estimate, the two endpoints, and whether each endpoint sat at\n"
    "the edge of what a correlation may be rather than where the likelihood fell\n"
    "away.";

Fallible<Owned> interval_body(const py::Arguments<6>& args) {
  auto arrays = take_arrays(args);
  if (!arrays) return std::unexpected(arrays.error());
  auto call = prepare(*arrays, args[4], args[5]);
  if (!call) return std::unexpected(call.error());
  auto profile = call->model.correlation_interval(call->response, call->reml);
  if (!profile) return code(profile);
  return py::make_interval_tuple(*profile);
}

}  // namespace

PyMethodDef discrete_gxe_fit_method() { return py::function<fit_signature, fit_body>(fit_doc); }

PyMethodDef discrete_gxe_test_method() { return py::function<test_signature, test_body>(test_doc); }

PyMethodDef discrete_gxe_correlation_interval_method() {
  return py::function<interval_signature, interval_body>(interval_doc);
}

}  // namespace kestrune::discrete_gxe::python

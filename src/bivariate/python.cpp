#include "bivariate/python.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bivariate/fit.hpp"
#include "bivariate/inference.hpp"
#include "bivariate/model.hpp"
#include "python/interval.hpp"
#include "python/test_record.hpp"
#include "python/toolkit.hpp"

namespace kestrune::bivariate::python {
namespace {

namespace py = kestrune::python;
using py::Fallible;
using py::Owned;

using Observed = std::vector<std::array<bool, 2>>;

std::unexpected<py::Failure> code(Error error) { return std::unexpected<py::Failure>(std::move(error)); }

// The four arguments every entry starts with, viewed and converted but not yet copied.
struct Inputs {
  py::MatrixView relationship;
  Observed observed;
  py::MatrixView design;
  py::VectorView y;
};

template <std::size_t N>
Fallible<Inputs> inputs(const py::Arguments<N>& args) {
  auto relationship = py::MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  auto observed = py::extract(args[1], py::as_list<py::as_array<py::as_bool, 2>>);
  if (!observed) return std::unexpected(observed.error());
  auto design = py::MatrixView::from(args[2]);
  if (!design) return std::unexpected(design.error());
  auto y = py::VectorView::from(args[3]);
  if (!y) return std::unexpected(y.error());
  return Inputs{std::move(*relationship), std::move(*observed), std::move(*design), std::move(*y)};
}

struct Built {
  BivariateModel model;
  Eigen::VectorXd y;
};

// The model, then the copy of the response; the relationship, as large as the sample squared, and
// the design are read in place whatever their layout, the model copying what it keeps.
Fallible<Built> build(const Inputs& in) {
  Result<BivariateModel> model = BivariateModel::build(in.relationship.strided(), in.observed, in.design.strided());
  if (!model) return code(std::move(model.error()));
  return Built{std::move(*model), in.y.to_matrix().col(0)};
}

std::optional<BivariateQuantity> quantity_named(std::string_view name) {
  if (name == "h2_first") return BivariateQuantity::h2_first;
  if (name == "h2_second") return BivariateQuantity::h2_second;
  if (name == "rho_g") return BivariateQuantity::rho_g;
  if (name == "rho_e") return BivariateQuantity::rho_e;
  if (name == "rho_p") return BivariateQuantity::rho_p;
  return std::nullopt;
}

// ---- bivariate_fit -----------------------------------------------------------------

constexpr auto fit_signature = py::signature("bivariate_fit", py::required("relationship"), py::required("observed"),
                                             py::required("design"), py::required("y"), py::optional("reml"));

Fallible<Owned> fit_body(const py::Arguments<5>& args) {
  auto in = inputs(args);
  if (!in) return std::unexpected(in.error());
  auto reml = py::extract_or(args[4], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  auto built = build(*in);
  if (!built) return std::unexpected(built.error());
  auto fitted = fit(built->model, built->y, *reml);
  if (!fitted) return code(std::move(fitted.error()));
  const std::vector<std::optional<double>> estimates = {
      fitted->variance_first,      fitted->variance_second,      fitted->h2_first,
      fitted->h2_second,           fitted->genetic_correlation, fitted->residual_correlation,
      fitted->phenotypic_correlation};
  return py::make_tuple(
      py::make_list_of(estimates, [](const std::optional<double>& value) {
        return py::make_optional(value, py::make_float);
      }),
      py::make_float(fitted->loglik), py::make_float(fitted->scaled_gradient), py::make_bool(fitted->converged));
}

// ---- bivariate_interval ------------------------------------------------------------

constexpr auto interval_signature =
    py::signature("bivariate_interval", py::required("relationship"), py::required("observed"),
                  py::required("design"), py::required("y"), py::required("quantity"), py::optional("reml"));

Fallible<Owned> interval_body(const py::Arguments<6>& args) {
  auto in = inputs(args);
  if (!in) return std::unexpected(in.error());
  auto name = py::extract(args[4], py::as_str);
  if (!name) return std::unexpected(name.error());
  auto reml = py::extract_or(args[5], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  const std::optional<BivariateQuantity> quantity = quantity_named(*name);
  if (!quantity) return code(Error{"BIVARIATE_QUANTITY_UNKNOWN", std::nullopt});
  auto built = build(*in);
  if (!built) return std::unexpected(built.error());
  auto record = profile_interval(built->model, built->y, *reml, *quantity);
  if (!record) return code(std::move(record.error()));
  return py::make_interval_tuple(*record);
}

// ---- bivariate_objective -----------------------------------------------------------

constexpr auto objective_signature =
    py::signature("bivariate_objective", py::required("relationship"), py::required("observed"),
                  py::required("design"), py::required("y"), py::required("theta"), py::optional("reml"));

Fallible<Owned> objective_body(const py::Arguments<6>& args) {
  auto in = inputs(args);
  if (!in) return std::unexpected(in.error());
  auto values = py::extract(args[4], py::as_float_list);
  if (!values) return std::unexpected(values.error());
  auto reml = py::extract_or(args[5], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  if (values->size() != 6) return code(Error{"BIVARIATE_THETA_LENGTH", std::nullopt});
  auto built = build(*in);
  if (!built) return std::unexpected(built.error());
  // The evaluation reads y at every measured-value number: a short one would be read past its end.
  if (auto checked = check_response(built->model, built->y); !checked) return code(std::move(checked.error()));
  Theta theta{};
  std::copy(values->begin(), values->end(), theta.begin());
  const auto evaluation =
      built->model.evaluate_for_state(theta, built->model.centred(built->y), *reml, true, std::nullopt);
  if (!evaluation) return code(Error{"BIVARIATE_NOT_POSITIVE_DEFINITE", std::nullopt});
  return py::make_tuple(py::make_float(evaluation->value), py::make_list(evaluation->gradient));
}

// ---- bivariate_correlation_test ----------------------------------------------------

constexpr auto test_signature = py::signature(
    "bivariate_correlation_test", py::required("relationship"), py::required("observed"), py::required("design"),
    py::required("y"), py::required("quantity"), py::required("null"), py::optional("reml"));

Fallible<Owned> test_body(const py::Arguments<7>& args) {
  auto in = inputs(args);
  if (!in) return std::unexpected(in.error());
  auto name = py::extract(args[4], py::as_str);
  if (!name) return std::unexpected(name.error());
  auto null = py::extract(args[5], py::as_float);
  if (!null) return std::unexpected(null.error());
  auto reml = py::extract_or(args[6], py::as_bool, true);
  if (!reml) return std::unexpected(reml.error());
  const std::optional<BivariateQuantity> quantity = quantity_named(*name);
  if (!quantity || *quantity == BivariateQuantity::h2_first || *quantity == BivariateQuantity::h2_second)
    return code(Error{"BIVARIATE_NOT_A_CORRELATION", std::nullopt});
  auto built = build(*in);
  if (!built) return std::unexpected(built.error());
  auto test = correlation_test(built->model, built->y, *reml, *quantity, *null);
  if (!test) return code(std::move(test.error()));
  return py::make_test_tuple(test->statistic, test->p_value, test->reference, test->null_loglik, test->full_loglik);
}

}  // namespace

PyMethodDef bivariate_fit_method() {
  return py::function<fit_signature, fit_body>(
      "bivariate_fit(relationship, observed, design, y, reml=True)\n--\n\n"
      "Fit two traits, for comparison against the independent implementation.");
}

PyMethodDef bivariate_interval_method() {
  return py::function<interval_signature, interval_body>(
      "bivariate_interval(relationship, observed, design, y, quantity, reml=True)\n--\n\n"
      "A 95 per cent profile-likelihood interval for one reported quantity.\n\n"
      "`quantity` is `h2_first`, `h2_second`, `rho_g`, `rho_e` or `rho_p`.");
}

PyMethodDef bivariate_objective_method() {
  return py::function<objective_signature, objective_body>(
      "bivariate_objective(relationship, observed, design, y, theta, reml=True)\n--\n\n"
      "Evaluate the two-trait objective and gradient at one point.\n\n"
      "Exposed so that an outside reference implementation can be compared with this\n"
      "one at the same parameters on the same data.\n\n"
      "`y` and `design` carry only the observed rows, in the order they appear\n"
      "reading person by person and trait within person.");
}

PyMethodDef bivariate_correlation_test_method() {
  return py::function<test_signature, test_body>(
      "bivariate_correlation_test(relationship, observed, design, y, quantity, null, reml=True)\n--\n\n"
      "Test a correlation against a fixed value.");
}

}  // namespace kestrune::bivariate::python

#include "liability/python.hpp"

#include <algorithm>

#include "liability/threshold.hpp"
#include "numerics/region.hpp"
#include "python/interval.hpp"
#include "python/toolkit.hpp"

namespace kestrune::liability::python {
namespace {

using namespace kestrune::python;

constexpr auto region_signature = signature("region_log_probability", required("mean"),
                                            required("sign"), required("covariance"));

constexpr const char* region_doc =
    "region_log_probability(mean, sign, covariance)\n--\n\n"
    "The conditional region log-probability the censored models rest on.\n\n"
    "**Exposed so that it can be checked.** This is the sequential truncation --\n"
    "exact to two coordinates, Mendell-Elston above -- and every censored\n"
    "heritability in the package rests on it. All the evidence for those models\n"
    "was generated on pairs, where this routine's approximate branch never runs,\n"
    "so the only way to learn how it behaves in a large family is to be able to\n"
    "call it beside an independent reference. `checks/sequential_against_ghk`\n"
    "is that reference.\n\n"
    "`mean` is each coordinate's mean **already centred on its own limit**, and\n"
    "`sign` is `1.0` where the value lies above that limit and `-1.0` where it\n"
    "lies below, which is the convention `TobitModel` builds.\n\n"
    "# Errors\n\n"
    "Returns a stable code where the shapes disagree or the region cannot be\n"
    "evaluated.";

Fallible<Owned> py_region_log_probability(const Arguments<3>& args) {
  const auto mean = copy_vector(args[0]);
  if (!mean) return std::unexpected(mean.error());
  const auto sign = copy_vector(args[1]);
  if (!sign) return std::unexpected(sign.error());
  const auto covariance = MatrixView::from(args[2]);
  if (!covariance) return std::unexpected(covariance.error());
  const Eigen::Index n = mean->size();
  if (sign->size() != n || covariance->rows() != n || covariance->cols() != n) {
    return std::unexpected(Failure(Error{"REGION_SHAPE_INVALID", {}}));
  }
  const auto value = region::region_log_probability(
      std::span<const double>(mean->data(), static_cast<std::size_t>(n)),
      std::span<const double>(sign->data(), static_cast<std::size_t>(n)), covariance->to_matrix());
  if (!value) return std::unexpected(Failure(Error{"REGION_NOT_EVALUABLE", {}}));
  // The kernel reads any sign above 0 as above its limit and multiplies by it unchanged: a sign
  // other than +-1 gives a number for no region at all.
  if (!std::ranges::all_of(*sign, [](double s) { return s == 1.0 || s == -1.0; })) {
    return std::unexpected(Failure(Error{"REGION_SIGN_INVALID", {}}));
  }
  return make_float(*value);
}

// ---- the liability-threshold model ----------------------------------------------------------

constexpr auto fit_signature =
    signature("liability_fit", required("relationship"), required("status"), required("design"));
constexpr auto test_signature =
    signature("liability_test", required("relationship"), required("status"), required("design"));
constexpr auto interval_signature =
    signature("liability_interval", required("relationship"), required("status"), required("design"));

constexpr const char* fit_doc =
    "liability_fit(relationship, status, design)\n--\n\n"
    "Fit one binary trait through a liability threshold.\n\n"
    "Returns the liability heritability, the fixed effects, the log\n"
    "likelihood, whether the search converged, its scaled gradient, the\n"
    "prevalence and the largest family the region probability had to cover.";

constexpr const char* test_doc =
    "liability_test(relationship, status, design)\n--\n\n"
    "Test the liability heritability against nought.";

constexpr const char* interval_doc =
    "liability_interval(relationship, status, design)\n--\n\n"
    "A 95 per cent profile interval for the liability heritability.";

// The three arrays viewed in parameter order, status and design copied (the relationship is read
// in place), and the model built.
Fallible<LiabilityModel> build(const Arguments<3>& args) {
  auto relationship = MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  auto status = VectorView::from(args[1]);
  if (!status) return std::unexpected(status.error());
  auto design = MatrixView::from(args[2]);
  if (!design) return std::unexpected(design.error());
  Result<LiabilityModel> model =
      LiabilityModel::build(relationship->strided(), status->to_vector(), design->strided());
  if (!model) return std::unexpected(Failure(model.error()));
  return std::move(*model);
}

Fallible<Owned> py_liability_fit(const Arguments<3>& args) {
  const auto model = build(args);
  if (!model) return std::unexpected(model.error());
  const auto fit = model->fit_holding(std::nullopt);
  if (!fit) return std::unexpected(Failure(fit.error()));
  return make_tuple(make_float(fit->h2), make_list(fit->beta), make_float(fit->loglik),
                    make_bool(fit->converged), make_bool(fit->polished), make_float(fit->scaled_gradient),
                    make_float(fit->prevalence), make_uint(fit->largest_family));
}

Fallible<Owned> py_liability_test(const Arguments<3>& args) {
  const auto model = build(args);
  if (!model) return std::unexpected(model.error());
  const auto test = model->heritability_test();
  if (!test) return std::unexpected(Failure(test.error()));
  return make_tuple(make_float(test->statistic), make_float(test->p_value), make_str(test->reference),
                    make_float(test->null_loglik));
}

Fallible<Owned> py_liability_interval(const Arguments<3>& args) {
  const auto model = build(args);
  if (!model) return std::unexpected(model.error());
  const auto found = model->heritability_interval();
  if (!found) return std::unexpected(Failure(found.error()));
  return make_interval_tuple(*found);
}

}  // namespace

PyMethodDef liability_fit_method() { return function<fit_signature, py_liability_fit>(fit_doc); }
PyMethodDef liability_test_method() { return function<test_signature, py_liability_test>(test_doc); }
PyMethodDef liability_interval_method() {
  return function<interval_signature, py_liability_interval>(interval_doc);
}

PyMethodDef region_log_probability_method() {
  return function<region_signature, py_region_log_probability>(region_doc);
}

}  // namespace kestrune::liability::python

#include "tobit/python.hpp"

#include "python/test_record.hpp"
#include "python/toolkit.hpp"
#include "tobit/model.hpp"

namespace kestrune::tobit::python {
namespace {

using namespace kestrune::python;

// The five arrays every entry takes, extracted in parameter order.
constexpr auto fit_signature = signature("tobit_fit", required("relationship"), required("value"),
                                         required("censoring"), required("limit"), required("design"));
constexpr auto test_signature = signature("tobit_test", required("relationship"), required("value"),
                                          required("censoring"), required("limit"), required("design"));
constexpr auto interval_signature =
    signature("tobit_interval", required("relationship"), required("value"), required("censoring"),
              required("limit"), required("design"));

constexpr const char* fit_doc =
    "tobit_fit(relationship, value, censoring, limit, design)\n--\n\n"
    "Fit one trait whose measurement stops at a limit.\n\n"
    "`censoring` is 0 where the value was measured, 1 where it lies at or above\n"
    "its limit, and 2 where it lies at or below it.\n\n"
    "Returns the heritability of the complete variable, its total variance, the\n"
    "fixed effects, the log likelihood, whether the search converged, its scaled\n"
    "gradient, the share of observations that hit a limit, and the largest\n"
    "family the region probability had to cover.";

constexpr const char* test_doc =
    "tobit_test(relationship, value, censoring, limit, design)\n--\n\n"
    "The censored heritability against nought.\n\n"
    "Returns the statistic, the p-value, the reference rule, and the two log\n"
    "likelihoods the statistic was made from.";

constexpr const char* interval_doc =
    "tobit_interval(relationship, value, censoring, limit, design)\n--\n\n"
    "A 95 per cent profile-likelihood interval for the heritability.\n\n"
    "Returns the estimate, the two ends, whether each end sits on the\n"
    "parameter's own bound rather than where the profile fell away, how many\n"
    "profile fits failed, and the share of observations that hit a limit.";

// The arrays viewed, then copied (value, limit; the relationship is read in place and the design
// copied once its shape fits), the codes converted, and the model built; the first failure is
// raised.
Fallible<TobitModel> build(const Arguments<5>& args) {
  auto relationship = MatrixView::from(args[0]);
  if (!relationship) return std::unexpected(relationship.error());
  auto value = VectorView::from(args[1]);
  if (!value) return std::unexpected(value.error());
  auto censoring = CodesView::from(args[2]);
  if (!censoring) return std::unexpected(censoring.error());
  auto limit = VectorView::from(args[3]);
  if (!limit) return std::unexpected(limit.error());
  auto design = MatrixView::from(args[4]);
  if (!design) return std::unexpected(design.error());

  const std::vector<double> value_copy = value->to_vector();
  const std::vector<double> limit_copy = limit->to_vector();
  const Result<std::vector<Censoring>> codes = censoring_from(censoring->to_vector());
  if (!codes) return std::unexpected(Failure(codes.error()));
  Result<TobitModel> model = TobitModel::build(relationship->strided(), value_copy, *codes, limit_copy, design->strided());
  if (!model) return std::unexpected(Failure(model.error()));
  return std::move(*model);
}

Fallible<Owned> py_tobit_fit(const Arguments<5>& args) {
  const auto model = build(args);
  if (!model) return std::unexpected(model.error());
  const auto fit = model->fit_holding(std::nullopt);
  if (!fit) return std::unexpected(Failure(fit.error()));
  return make_tuple(make_float(fit->h2), make_float(fit->total_variance), make_list(fit->beta),
                    make_float(fit->loglik), make_bool(fit->converged), make_float(fit->scaled_gradient),
                    make_float(fit->censored_share), make_uint(fit->largest_family));
}

Fallible<Owned> py_tobit_test(const Arguments<5>& args) {
  const auto model = build(args);
  if (!model) return std::unexpected(model.error());
  const auto test = model->heritability_test();
  if (!test) return std::unexpected(Failure(test.error()));
  return make_test_tuple(test->statistic, test->p_value, test->reference, test->null_loglik, test->full_loglik);
}

Fallible<Owned> py_tobit_interval(const Arguments<5>& args) {
  const auto model = build(args);
  if (!model) return std::unexpected(model.error());
  const auto found = model->heritability_interval();
  if (!found) return std::unexpected(Failure(found.error()));
  return make_tuple(make_float(*found->estimate), make_float(found->lower), make_float(found->upper),
                    make_bool(found->lower_limited), make_bool(found->upper_limited),
                    make_float(found->level), make_optional(found->contains_lower_bound, make_bool),
                    make_optional(found->contains_upper_bound, make_bool), make_uint(found->profile_failures),
                    make_float(model->censored_share()));
}

}  // namespace

PyMethodDef tobit_fit_method() { return function<fit_signature, py_tobit_fit>(fit_doc); }
PyMethodDef tobit_test_method() { return function<test_signature, py_tobit_test>(test_doc); }
PyMethodDef tobit_interval_method() {
  return function<interval_signature, py_tobit_interval>(interval_doc);
}

}  // namespace kestrune::tobit::python

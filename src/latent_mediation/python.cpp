#include "latent_mediation/python.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "latent_mediation/fit.hpp"
#include "latent_mediation/model.hpp"
#include "latent_mediation/rectangle.hpp"
#include "latent_mediation/simulate.hpp"
#include "python/toolkit.hpp"

namespace kestrune::latent_mediation::python {
namespace {

namespace py = kestrune::python;
using py::Fallible;
using py::Item;
using py::Owned;

constexpr std::string_view numeric_boolean = "LATENT_MEDIATION_NUMERIC_BOOLEAN";
constexpr std::string_view status_boolean = "LATENT_MEDIATION_STATUS_BOOLEAN";
constexpr std::string_view proband_boolean = "LATENT_MEDIATION_PROBAND_BOOLEAN";

// A model's error code raised as ValueError whose whole message is the code.
std::unexpected<py::Failure> code(Error error) { return std::unexpected<py::Failure>(std::move(error)); }

const LatentMediationModel& model_of(PyObject* self) { return py::value_of<LatentMediationModel>(self); }

// ---- refusing booleans anywhere inside an argument ------------------------------------------

// The type's __module__ as text, or nothing when it cannot be read (the error is dropped).
std::optional<std::string> type_module(PyObject* value) {
  Owned module = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  const char* text = PyUnicode_AsUTF8AndSize(module.get(), nullptr);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(text);
}

// Whether `value` has the attribute; an error other than AttributeError propagates.
Fallible<bool> has_attribute(PyObject* value, const char* name) {
  Owned attribute = Owned::steal(PyObject_GetAttrString(value, name));
  if (attribute) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::raised();
  PyErr_Clear();
  return false;
}

// isinstance(value, collections.abc.Sequence); a failing test is reported as unraisable
// and the value counts as a leaf.
bool is_abstract_sequence(PyObject* value) {
  static PyObject* sequence = nullptr;  // kept for the life of the process, like the classes
  if (sequence == nullptr) {
    Owned module = Owned::steal(PyImport_ImportModule("collections.abc"));
    if (module) sequence = PyObject_GetAttrString(module.get(), "Sequence");
  }
  const int answer = sequence == nullptr ? -1 : PyObject_IsInstance(value, sequence);
  if (answer < 0) {
    PyErr_WriteUnraisable(value);
    return false;
  }
  return answer == 1;
}

Fallible<void> reject_boolean_tree(PyObject* value, std::string_view refusal);

Fallible<void> walk_items(PyObject* sequence, std::string_view refusal) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) return py::raised();
  for (Py_ssize_t i = 0; i < length; ++i) {
    Owned item = Owned::steal(PySequence_GetItem(sequence, i));
    if (!item) return py::raised();
    if (auto ok = reject_boolean_tree(item.get(), refusal); !ok) return ok;
  }
  return {};
}

Fallible<void> reject_boolean_level(PyObject* value, std::string_view refusal) {
  if (py::is_boolean(value)) return code(Error{refusal, std::nullopt});
  if (auto module = type_module(value); module && (*module == "numpy" || module->starts_with("numpy."))) {
    auto dtype = has_attribute(value, "dtype");
    if (!dtype) return std::unexpected(dtype.error());
    auto tolist = *dtype ? has_attribute(value, "tolist") : Fallible<bool>(false);
    if (!tolist) return std::unexpected(tolist.error());
    if (*tolist) {
      Owned plain = Owned::steal(PyObject_CallMethod(value, "tolist", nullptr));
      if (!plain) return py::raised();
      return reject_boolean_tree(plain.get(), refusal);
    }
  }
  if (PyUnicode_Check(value) || PyBytes_Check(value)) return {};
  if (PyList_Check(value) || PyTuple_Check(value) || is_abstract_sequence(value)) return walk_items(value, refusal);
  return {};
}

// Fails with `refusal` when a bool (Python's or NumPy's) sits anywhere inside `value`, which
// would otherwise pass silently as 1 or 0. Each level counts against the interpreter's
// recursion limit, so a list that contains itself is a RecursionError, not a crash.
Fallible<void> reject_boolean_tree(PyObject* value, std::string_view refusal) {
  if (Py_EnterRecursiveCall(" while looking for booleans") != 0) return py::raised();
  auto result = reject_boolean_level(value, refusal);
  Py_LeaveRecursiveCall();
  return result;
}

// ---- conversions ----------------------------------------------------------------------------

constexpr auto as_optional_float = py::as_optional<py::as_float>;
constexpr auto as_rows = py::as_list<py::as_float_list>;
constexpr auto as_matrices = py::as_list<as_rows>;
constexpr auto as_optional_float_lists = py::as_list<py::as_list<as_optional_float>>;
constexpr auto as_status_lists = py::as_list<py::as_list<py::as_optional<py::as_int8>>>;
constexpr auto as_optional_indices = py::as_list<py::as_optional<py::as_uint64>>;

// ---- _build ---------------------------------------------------------------------------------

constexpr auto build_signature = py::signature(
    "LatentMediationCore._build", py::required("relationships"), py::required("latent_means"),
    py::required("mediator_measurements"), py::required("mediator_measurement_error_variances"),
    py::required("mediator_proxy_statuses"), py::required("outcome_statuses"), py::required("mediator_thresholds"),
    py::required("outcome_thresholds"), py::required("mediator_proxy_sensitivities"),
    py::required("mediator_proxy_specificities"), py::required("ascertainments"), py::required("proband_indices"),
    py::required("qmc_points"), py::required("mediator_designs"), py::required("outcome_designs"),
    py::required("outcome_prevalences"), py::optional("outcome_category_prevalences"),
    py::optional("ascertainment_categories"));

enum BuildArgument : std::size_t {
  relationships, latent_means, mediator_measurements, mediator_measurement_error_variances,
  mediator_proxy_statuses, outcome_statuses, mediator_thresholds, outcome_thresholds,
  mediator_proxy_sensitivities, mediator_proxy_specificities, ascertainments, proband_indices, qmc_points,
  mediator_designs, outcome_designs, outcome_prevalences, outcome_category_prevalences, ascertainment_categories,
};

// Every per-family list, converted.
struct Packed {
  std::vector<std::string> ascertainments;
  std::vector<std::optional<std::uint64_t>> ascertainment_categories;
  std::vector<std::vector<Rows>> matrices;  // relationships, mediator designs, outcome designs
  std::vector<std::vector<std::optional<double>>> outcome_prevalences;
  std::vector<Rows> outcome_category_prevalences;
  std::vector<std::vector<double>> latent_means;
  std::vector<std::vector<std::optional<double>>> measurements, error_variances;
  std::vector<std::vector<std::optional<std::int8_t>>> proxy_statuses, outcome_statuses;
  std::vector<std::vector<double>> mediator_thresholds, outcome_thresholds, sensitivities, specificities;
  std::vector<std::optional<std::uint64_t>> proband_indices;
  std::uint64_t qmc_points = 0;
};

template <class T, class Convert>
Fallible<void> convert_into(T& target, PyObject* object, Convert convert) {
  auto value = convert(object);
  if (!value) return std::unexpected(value.error());
  target = std::move(*value);
  return {};
}

Fallible<void> reject_booleans(const py::Arguments<18>& args) {
  for (const BuildArgument numeric :
       {relationships, latent_means, mediator_measurements, mediator_measurement_error_variances, mediator_thresholds,
        outcome_thresholds, mediator_proxy_sensitivities, mediator_proxy_specificities, qmc_points, mediator_designs,
        outcome_designs, outcome_prevalences})
    if (auto ok = reject_boolean_tree(args[numeric].object, numeric_boolean); !ok) return ok;
  for (const BuildArgument status : {mediator_proxy_statuses, outcome_statuses})
    if (auto ok = reject_boolean_tree(args[status].object, status_boolean); !ok) return ok;
  return reject_boolean_tree(args[proband_indices].object, proband_boolean);
}

// The conversions after the walks, in the binding's order.
Fallible<void> convert_lists(const py::Arguments<18>& args, bool categories_given, Packed& packed) {
  packed.matrices.resize(3);
  const BuildArgument matrices[] = {relationships, mediator_designs, outcome_designs};
  for (std::size_t m = 0; m < 3; ++m)
    if (auto ok = convert_into(packed.matrices[m], args[matrices[m]].object, as_matrices); !ok) return ok;
  if (auto ok = convert_into(packed.outcome_prevalences, args[outcome_prevalences].object, as_optional_float_lists); !ok)
    return ok;
  if (!args[outcome_category_prevalences].none_or_omitted()) {
    PyObject* categories = args[outcome_category_prevalences].object;
    if (auto ok = reject_boolean_tree(categories, numeric_boolean); !ok) return ok;
    if (auto ok = convert_into(packed.outcome_category_prevalences, categories, as_matrices); !ok) return ok;
  } else {
    packed.outcome_category_prevalences.assign(packed.outcome_prevalences.size(), Rows{});
  }
  if (!categories_given) packed.ascertainment_categories.assign(packed.outcome_prevalences.size(), std::nullopt);
  Fallible<void> ok = convert_into(packed.latent_means, args[latent_means].object, as_rows);
  if (ok) ok = convert_into(packed.measurements, args[mediator_measurements].object, as_optional_float_lists);
  if (ok) ok = convert_into(packed.error_variances, args[mediator_measurement_error_variances].object, as_optional_float_lists);
  if (ok) ok = convert_into(packed.proxy_statuses, args[mediator_proxy_statuses].object, as_status_lists);
  if (ok) ok = convert_into(packed.outcome_statuses, args[outcome_statuses].object, as_status_lists);
  if (ok) ok = convert_into(packed.mediator_thresholds, args[mediator_thresholds].object, as_rows);
  if (ok) ok = convert_into(packed.outcome_thresholds, args[outcome_thresholds].object, as_rows);
  if (ok) ok = convert_into(packed.sensitivities, args[mediator_proxy_sensitivities].object, as_rows);
  if (ok) ok = convert_into(packed.specificities, args[mediator_proxy_specificities].object, as_rows);
  if (ok) ok = convert_into(packed.proband_indices, args[proband_indices].object, as_optional_indices);
  if (ok) ok = convert_into(packed.qmc_points, args[qmc_points].object, py::as_uint64);
  return ok;
}

// Every list with one entry per family has as many as `relationships`; the designs and
// prevalences, read by family index, have at least that many.
bool lengths_agree(const Packed& p) {
  const std::size_t n = p.matrices[0].size();
  const std::size_t exact[] = {p.proband_indices.size(), p.latent_means.size(), p.measurements.size(),
                               p.error_variances.size(), p.proxy_statuses.size(), p.outcome_statuses.size(),
                               p.mediator_thresholds.size(), p.outcome_thresholds.size(), p.sensitivities.size(),
                               p.specificities.size(), p.ascertainments.size()};
  for (const std::size_t size : exact)
    if (size != n) return false;
  return p.matrices[1].size() >= n && p.matrices[2].size() >= n && p.outcome_prevalences.size() >= n;
}

std::vector<LatentMediationFamilyInput> pack(Packed& p) {
  const std::size_t n = p.matrices[0].size();
  std::vector<LatentMediationFamilyInput> families(n);
  for (std::size_t i = 0; i < n; ++i) {
    LatentMediationFamilyInput& family = families[i];
    family.relationship = std::move(p.matrices[0][i]);
    family.latent_mean = std::move(p.latent_means[i]);
    family.mediator_design = std::move(p.matrices[1][i]);
    family.outcome_design = std::move(p.matrices[2][i]);
    family.mediator_measurement = std::move(p.measurements[i]);
    family.mediator_measurement_error_variance = std::move(p.error_variances[i]);
    family.mediator_proxy_status = std::move(p.proxy_statuses[i]);
    family.outcome_status = std::move(p.outcome_statuses[i]);
    family.mediator_threshold = std::move(p.mediator_thresholds[i]);
    family.outcome_threshold = std::move(p.outcome_thresholds[i]);
    family.outcome_prevalence = std::move(p.outcome_prevalences[i]);
    if (i < p.outcome_category_prevalences.size()) family.outcome_category_prevalence = std::move(p.outcome_category_prevalences[i]);
    if (i < p.ascertainment_categories.size()) family.ascertainment_category = p.ascertainment_categories[i];
    family.mediator_proxy_sensitivity = std::move(p.sensitivities[i]);
    family.mediator_proxy_specificity = std::move(p.specificities[i]);
    family.ascertainment = std::move(p.ascertainments[i]);
    family.proband_index = p.proband_indices[i];
  }
  return families;
}

Fallible<Owned> build(const py::Arguments<18>& args) {
  Packed packed;
  auto names = py::extract(args[ascertainments], py::as_str_list);
  if (!names) return std::unexpected(names.error());
  packed.ascertainments = std::move(*names);
  const bool categories_given = !args[ascertainment_categories].none_or_omitted();
  if (categories_given) {
    auto categories = py::extract(args[ascertainment_categories], as_optional_indices);
    if (!categories) return std::unexpected(categories.error());
    packed.ascertainment_categories = std::move(*categories);
  }
  if (auto ok = reject_booleans(args); !ok) return std::unexpected(ok.error());
  if (auto ok = convert_lists(args, categories_given, packed); !ok) return std::unexpected(ok.error());
  if (!lengths_agree(packed)) return code(Error{"LATENT_MEDIATION_PACKED_FAMILY_LENGTH_MISMATCH", std::nullopt});
  auto model = LatentMediationModel::build(pack(packed), packed.qmc_points);
  if (!model) return code(std::move(model.error()));
  return py::make_instance(reinterpret_cast<PyTypeObject*>(latent_mediation_core_type()), std::move(*model));
}

// ---- evaluate ------------------------------------------------------------------------------

constexpr auto evaluate_signature =
    py::signature("LatentMediationCore.evaluate", py::keyword_only("a"), py::keyword_only("b"),
                  py::keyword_only("c_prime"), py::keyword_only("d"), py::keyword_only("sigma_m2"));

Fallible<Owned> method_list(std::uint8_t methods) {
  return py::make_list_of(method_names(methods), py::make_str);
}

bool approximate(std::uint8_t methods) {
  return (methods & (method_bit(Method::bivariate_quadrature) | method_bit(Method::bivariate_tail_quadrature) |
                     method_bit(Method::deterministic_genz_halton))) != 0;
}

Fallible<Owned> fixed_parameters() {
  return py::make_dict(Item{"sigma_y2", py::make_float(1.0)}, Item{"tau", py::make_float(0.0)});
}

Fallible<Owned> family_diagnostics(const LatentMediationFamilyEvaluation& family) {
  return py::make_dict(Item{"log_likelihood", py::make_float(family.log_likelihood)},
                       Item{"log_continuous_density", py::make_float(family.log_continuous_density)},
                       Item{"log_discrete_probability", py::make_float(family.log_discrete_probability)},
                       Item{"log_ascertainment_denominator", py::make_float(family.log_ascertainment_denominator)},
                       Item{"ordinary_scale_representable", py::make_bool(family.ordinary_scale_representable)},
                       Item{"integration_methods", method_list(family.integration_methods)},
                       Item{"maximum_qmc_log_batch_range", py::make_float(family.maximum_qmc_log_batch_range)},
                       Item{"family_size", py::make_uint(family.family_size)},
                       Item{"mediator_proxy_truth_configurations", py::make_uint(family.mediator_proxy_truth_configurations)},
                       Item{"ascertainment", py::make_str(family.ascertainment)});
}

Fallible<Owned> evaluation_dict(const LatentMediationEvaluation& evaluation) {
  return py::make_dict(Item{"log_likelihood", py::make_float(evaluation.log_likelihood)},
                       Item{"ordinary_scale_representable", py::make_bool(evaluation.ordinary_scale_representable)},
                       Item{"integration_methods", method_list(evaluation.integration_methods)},
                       Item{"maximum_qmc_log_batch_range", py::make_float(evaluation.maximum_qmc_log_batch_range)},
                       Item{"approximate", py::make_bool(approximate(evaluation.integration_methods))},
                       Item{"fixed_parameters", fixed_parameters()},
                       Item{"family_diagnostics", py::make_list_of(evaluation.family_evaluations, family_diagnostics)});
}

Fallible<Owned> evaluate(PyObject* self, const py::Arguments<5>& args) {
  for (const auto& arg : args)
    if (auto ok = reject_boolean_tree(arg.object, "LATENT_MEDIATION_PARAMETER_BOOLEAN"); !ok)
      return std::unexpected(ok.error());
  Structural parameters{};
  for (std::size_t i = 0; i < 5; ++i)
    if (auto ok = convert_into(parameters[i], args[i].object, py::as_float); !ok) return std::unexpected(ok.error());
  auto evaluation = model_of(self).evaluate(parameters);
  if (!evaluation) return code(std::move(evaluation.error()));
  return evaluation_dict(*evaluation);
}

// ---- fit, the tests and the sets ----------------------------------------------------------

bool uses_qmc(std::uint8_t methods) { return (methods & method_bit(Method::deterministic_genz_halton)) != 0; }
bool uses_bivariate(std::uint8_t methods) {
  return (methods & (method_bit(Method::bivariate_quadrature) | method_bit(Method::bivariate_tail_quadrature))) != 0;
}

Fallible<Owned> integration_diagnostics(const LatentMediationEvaluation& evaluation, std::uint64_t qmc_points) {
  std::vector<Fallible<Owned>> families;
  for (std::size_t f = 0; f < evaluation.family_evaluations.size(); ++f) {
    const auto& family = evaluation.family_evaluations[f];
    families.push_back(py::make_dict(
        Item{"family_index", py::make_uint(f)}, Item{"integration_methods", method_list(family.integration_methods)},
        Item{"maximum_qmc_log_batch_range", py::make_float(family.maximum_qmc_log_batch_range)},
        Item{"ascertainment", py::make_str(family.ascertainment)}, Item{"family_size", py::make_uint(family.family_size)},
        Item{"mediator_proxy_truth_configurations", py::make_uint(family.mediator_proxy_truth_configurations)}));
    if (!families.back()) break;
  }
  const std::uint8_t methods = evaluation.integration_methods;
  return py::make_dict(Item{"qmc_points", py::make_uint(qmc_points)}, Item{"integration_methods", method_list(methods)},
                       Item{"maximum_qmc_log_batch_range", py::make_float(evaluation.maximum_qmc_log_batch_range)},
                       Item{"family_diagnostics", py::make_list(std::move(families))},
                       Item{"uses_qmc", py::make_bool(uses_qmc(methods))},
                       Item{"uses_bivariate_quadrature", py::make_bool(uses_bivariate(methods))},
                       Item{"approximate", py::make_bool(approximate(methods))});
}

Fallible<Owned> fit_dict(const LatentMediationModel& model, const LatentMediationFit& fit) {
  std::size_t people = 0;
  for (const auto& family : model.families()) people += family.size();
  std::vector<std::string_view> warnings;
  if (!fit.horizontal_identified) warnings.push_back("horizontal_decomposition_unidentified_at_a_zero");
  if (approximate(fit.evaluation.integration_methods)) warnings.push_back("integration_is_approximate");
  const double vertical = fit.a * fit.b;
  return py::make_dict(
      Item{"parameters", py::make_dict(Item{"a", py::make_float(fit.a)}, Item{"b", py::make_float(fit.b)},
                                       Item{"c_prime", py::make_float(fit.c_prime)}, Item{"d", py::make_float(fit.d)},
                                       Item{"sigma_m2", py::make_float(fit.sigma_m2)})},
      Item{"loglik", py::make_float(fit.log_likelihood)}, Item{"estimator", py::make_str("ml")},
      Item{"route", py::make_str("latent_mediation")}, Item{"n", py::make_uint(people)},
      Item{"family_count", py::make_uint(model.families().size())}, Item{"optimiser", py::make_str("compat-lbfgsb")},
      Item{"convergence_rule", py::make_str("scaled_projected_gradient")},
      Item{"deterministic_starts", py::make_uint(5)}, Item{"converged", py::make_bool(true)},
      Item{"scaled_gradient", py::make_float(fit.scaled_gradient)}, Item{"gradient_tolerance", py::make_float(1e-5)},
      Item{"boundary_parameters", py::make_list_of(fit.boundary_parameters, py::make_str)},
      Item{"coefficients", py::make_list(std::span<const double>(fit.coefficients))},
      Item{"horizontal_identified", py::make_bool(fit.horizontal_identified)}, Item{"fixed_parameters", fixed_parameters()},
      Item{"estimands", py::make_dict(Item{"theta_vertical", py::make_float(vertical)},
                                      Item{"theta_horizontal", py::make_float(fit.c_prime)},
                                      Item{"total_mediator_related_outcome_loading", py::make_float(vertical + fit.c_prime)})},
      Item{"integration_diagnostics", integration_diagnostics(fit.evaluation, model.qmc_points())},
      Item{"warnings", py::make_list_of(warnings, py::make_str)});
}

Fallible<Owned> optional_end(const std::optional<double>& end) { return py::make_optional(end, py::make_float); }

constexpr auto fit_signature = py::signature("LatentMediationCore.fit");
Fallible<Owned> fit(PyObject* self, const py::Arguments<0>&) {
  const LatentMediationModel& model = model_of(self);
  auto result = model.fit_holding_at({});
  if (!result) return code(std::move(result.error()));
  return fit_dict(model, *result);
}

constexpr auto vertical_set_signature = py::signature("LatentMediationCore.vertical_set", py::optional("searched_to"),
                                                      py::optional("bootstrap_replicates"));
Fallible<Owned> vertical_set(PyObject* self, const py::Arguments<2>& args) {
  auto searched_to = py::extract_or(args[0], py::as_float, 1.0);
  if (!searched_to) return std::unexpected(searched_to.error());
  auto replicates = py::extract_or(args[1], py::as_uint64, std::uint64_t{200});
  if (!replicates) return std::unexpected(replicates.error());
  auto set = model_of(self).vertical_set(*searched_to, static_cast<std::size_t>(*replicates));
  if (!set) return code(std::move(set.error()));
  return py::make_dict(Item{"estimate", py::make_float(set->estimate)}, Item{"lower", optional_end(set->lower)},
                       Item{"upper", optional_end(set->upper)}, Item{"contains_zero", py::make_bool(set->contains_zero)},
                       Item{"disjoint", py::make_bool(set->disjoint)}, Item{"level", py::make_float(set->level)},
                       Item{"profile_failures", py::make_uint(set->profile_failures)},
                       Item{"searched_to", py::make_float(set->searched_to)});
}

constexpr auto test_vertical_signature =
    py::signature("LatentMediationCore.test_vertical", py::optional("bootstrap_replicates"));
Fallible<Owned> test_vertical(PyObject* self, const py::Arguments<1>& args) {
  auto replicates = py::extract_or(args[0], py::as_uint64, std::uint64_t{200});
  if (!replicates) return std::unexpected(replicates.error());
  auto test = model_of(self).test_vertical_with(static_cast<std::size_t>(*replicates));
  if (!test) return code(std::move(test.error()));
  return py::make_dict(Item{"p_value", py::make_float(test->p_value)}, Item{"rule", py::make_str(test->rule)},
                       Item{"loading_reference", py::make_str(test->loading_reference)},
                       Item{"bootstrap_replicates", py::make_uint(test->bootstrap_replicates)},
                       Item{"loading_statistic", py::make_float(test->loading_statistic)},
                       Item{"loading_p_value", py::make_float(test->loading_p_value)},
                       Item{"path_statistic", py::make_float(test->path_statistic)},
                       Item{"path_p_value", py::make_float(test->path_p_value)});
}

constexpr auto horizontal_set_signature =
    py::signature("LatentMediationCore.horizontal_set", py::optional("searched_to"));
Fallible<Owned> horizontal_set(PyObject* self, const py::Arguments<1>& args) {
  auto searched_to = py::extract_or(args[0], py::as_float, 4.0);
  if (!searched_to) return std::unexpected(searched_to.error());
  auto set = model_of(self).horizontal_set(*searched_to);
  if (!set) return code(std::move(set.error()));
  return py::make_dict(Item{"estimate", py::make_float(set->estimate)}, Item{"lower", optional_end(set->lower)},
                       Item{"upper", optional_end(set->upper)}, Item{"unbounded", py::make_bool(set->unbounded)},
                       Item{"level", py::make_float(set->level)}, Item{"searched_to", py::make_float(set->searched_to)});
}

constexpr auto test_horizontal_signature = py::signature("LatentMediationCore.test_horizontal");
Fallible<Owned> test_horizontal(PyObject* self, const py::Arguments<0>&) {
  auto test = model_of(self).test_horizontal();
  if (!test) return code(std::move(test.error()));
  return py::make_dict(Item{"p_value", py::make_float(test->p_value)}, Item{"rule", py::make_str(test->rule)},
                       Item{"reference", py::make_str(test->reference)},
                       Item{"statistic", py::make_float(test->statistic)});
}

// ---- latent_mediation_simulate ------------------------------------------------------------

constexpr auto simulate_signature = py::signature(
    "latent_mediation_simulate", py::required("relationship"), py::required("mediator_design"),
    py::required("mediator_coefficients"), py::required("outcome_design"), py::required("outcome_coefficients"),
    py::required("outcome_prevalence"), py::required("mediator_threshold"), py::required("outcome_threshold"),
    py::required("mediator_measurement_error_variance"), py::required("observe_mediator_proxy"),
    py::required("mediator_proxy_sensitivity"), py::required("mediator_proxy_specificity"),
    py::required("observe_outcome"), py::required("a"), py::required("b"), py::required("c_prime"), py::required("d"),
    py::required("sigma_m2"), py::required("families"), py::required("seed"), py::optional("ascertainment"),
    py::optional("proband_index"), py::optional("outcome_category_prevalence"), py::optional("ascertainment_category"));

constexpr const char simulate_doc[] =
    "latent_mediation_simulate(relationship, mediator_design, mediator_coefficients, outcome_design, "
    "outcome_coefficients, outcome_prevalence, mediator_threshold, outcome_threshold, "
    "mediator_measurement_error_variance, observe_mediator_proxy, mediator_proxy_sensitivity, "
    "mediator_proxy_specificity, observe_outcome, a, b, c_prime, d, sigma_m2, families, seed, "
    "ascertainment=\"population_unconditioned\", proband_index=None, outcome_category_prevalence=None, "
    "ascertainment_category=None)\n--\n\n"
    "Draw families from the model, for calibration and power work.\n\n"
    "The design is one family's shape, drawn from as many times as asked. It is\n"
    "returned as the same dictionaries the model takes, so a campaign is\n"
    "`simulate` then `LatentMediationModel` with nothing in between to get wrong.";

template <class T, class Convert>
Fallible<void> extract_into(T& target, const py::Argument& argument, Convert convert) {
  auto value = py::extract(argument, convert);
  if (!value) return std::unexpected(value.error());
  target = std::move(*value);
  return {};
}

Fallible<void> convert_design(const py::Arguments<24>& args, LatentMediationDesign& design) {
  Fallible<void> ok = extract_into(design.relationship, args[0], as_rows);
  if (ok) ok = extract_into(design.mediator_design, args[1], as_rows);
  if (ok) ok = extract_into(design.mediator_coefficients, args[2], py::as_float_list);
  if (ok) ok = extract_into(design.outcome_design, args[3], as_rows);
  if (ok) ok = extract_into(design.outcome_coefficients, args[4], py::as_float_list);
  if (ok) ok = extract_into(design.outcome_prevalence, args[5], py::as_list<as_optional_float>);
  if (ok) ok = extract_into(design.mediator_threshold, args[6], py::as_float_list);
  if (ok) ok = extract_into(design.outcome_threshold, args[7], py::as_float_list);
  if (ok) ok = extract_into(design.mediator_measurement_error_variance, args[8], py::as_list<as_optional_float>);
  if (ok) ok = extract_into(design.observe_mediator_proxy, args[9], py::as_list<py::as_bool>);
  if (ok) ok = extract_into(design.mediator_proxy_sensitivity, args[10], py::as_float_list);
  if (ok) ok = extract_into(design.mediator_proxy_specificity, args[11], py::as_float_list);
  if (ok) ok = extract_into(design.observe_outcome, args[12], py::as_list<py::as_bool>);
  return ok;
}

Fallible<void> convert_options(const py::Arguments<24>& args, LatentMediationDesign& design) {
  auto ascertainment = py::extract_or(args[20], py::as_str, std::string("population_unconditioned"));
  if (!ascertainment) return std::unexpected(ascertainment.error());
  design.ascertainment = std::move(*ascertainment);
  auto proband = py::extract_optional(args[21], py::as_uint64);
  if (!proband) return std::unexpected(proband.error());
  design.proband_index = *proband;
  auto categories = py::extract_optional(args[22], as_rows);
  if (!categories) return std::unexpected(categories.error());
  if (*categories) design.outcome_category_prevalence = std::move(**categories);
  auto category = py::extract_optional(args[23], py::as_uint64);
  if (!category) return std::unexpected(category.error());
  design.ascertainment_category = *category;
  return {};
}

Fallible<Owned> float_rows(const Rows& rows) {
  return py::make_list_of(rows, [](const std::vector<double>& row) { return py::make_list(std::span<const double>(row)); });
}

Fallible<Owned> optional_floats(const std::vector<std::optional<double>>& values) {
  return py::make_list_of(values, [](const std::optional<double>& value) { return py::make_optional(value, py::make_float); });
}

Fallible<Owned> optional_statuses(const std::vector<std::optional<std::int8_t>>& values) {
  return py::make_list_of(values, [](const std::optional<std::int8_t>& value) {
    return py::make_optional(value, [](std::int8_t status) { return py::make_int(status); });
  });
}

Fallible<Owned> family_dict(const LatentMediationFamilyInput& family) {
  const auto make_index = [](std::uint64_t index) { return py::make_uint(index); };
  return py::make_dict(
      Item{"relationship", float_rows(family.relationship)},
      Item{"latent_mean", py::make_list(std::span<const double>(family.latent_mean))},
      Item{"mediator_design", float_rows(family.mediator_design)},
      Item{"outcome_design", float_rows(family.outcome_design)},
      Item{"mediator_measurement", optional_floats(family.mediator_measurement)},
      Item{"mediator_measurement_error_variance", optional_floats(family.mediator_measurement_error_variance)},
      Item{"mediator_proxy_status", optional_statuses(family.mediator_proxy_status)},
      Item{"outcome_status", optional_statuses(family.outcome_status)},
      Item{"mediator_threshold", py::make_list(std::span<const double>(family.mediator_threshold))},
      Item{"outcome_threshold", py::make_list(std::span<const double>(family.outcome_threshold))},
      Item{"outcome_prevalence", optional_floats(family.outcome_prevalence)},
      Item{"outcome_category_prevalence", float_rows(family.outcome_category_prevalence)},
      Item{"ascertainment_category", py::make_optional(family.ascertainment_category, make_index)},
      Item{"mediator_proxy_sensitivity", py::make_list(std::span<const double>(family.mediator_proxy_sensitivity))},
      Item{"mediator_proxy_specificity", py::make_list(std::span<const double>(family.mediator_proxy_specificity))},
      Item{"ascertainment", py::make_str(family.ascertainment)},
      Item{"proband_index", py::make_optional(family.proband_index, make_index)});
}

Fallible<Owned> simulate_entry(const py::Arguments<24>& args) {
  LatentMediationDesign design;
  if (auto ok = convert_design(args, design); !ok) return std::unexpected(ok.error());
  Structural parameters{};
  for (std::size_t i = 0; i < 5; ++i)
    if (auto ok = extract_into(parameters[i], args[13 + i], py::as_float); !ok) return std::unexpected(ok.error());
  std::uint64_t families = 0, seed = 0;
  if (auto ok = extract_into(families, args[18], py::as_uint64); !ok) return std::unexpected(ok.error());
  if (auto ok = extract_into(seed, args[19], py::as_uint64); !ok) return std::unexpected(ok.error());
  if (auto ok = convert_options(args, design); !ok) return std::unexpected(ok.error());
  auto drawn = simulate(design, parameters, families, seed);
  if (!drawn) return code(std::move(drawn.error()));
  return py::make_list_of(*drawn, family_dict);
}

// ---- the type -------------------------------------------------------------------------------

constexpr const char class_doc[] = "Compiled storage and numerical evaluation for the Python wrapper.";

constexpr const char build_doc[] =
    "_build(relationships, latent_means, mediator_measurements, mediator_measurement_error_variances, "
    "mediator_proxy_statuses, outcome_statuses, mediator_thresholds, outcome_thresholds, "
    "mediator_proxy_sensitivities, mediator_proxy_specificities, ascertainments, proband_indices, qmc_points, "
    "mediator_designs, outcome_designs, outcome_prevalences, outcome_category_prevalences=None, "
    "ascertainment_categories=None)\n--\n\n";

constexpr const char evaluate_doc[] = "evaluate($self, *, a, b, c_prime, d, sigma_m2)\n--\n\n";

constexpr const char fit_doc[] = "fit($self)\n--\n\nFit the five structural parameters with the fixed ML recipe.";

constexpr const char vertical_set_doc[] =
    "vertical_set($self, searched_to=1.0, bootstrap_replicates=200)\n--\n\n"
    "A 97.5 per cent confidence set for the vertical estimand.\n\n"
    "`contains_zero` is decided by the intersection-union test rather than by\n"
    "the profile, because at nought the null is a union and one likelihood\n"
    "ratio has no reference across it. `disjoint` is true where the set spans\n"
    "nought but excludes it, so it is two pieces rather than one -- read it\n"
    "before treating `lower` and `upper` as an interval, because the values\n"
    "between them are then not all in the set.";

constexpr const char test_vertical_doc[] =
    "test_vertical($self, bootstrap_replicates=200)\n--\n\nTest the vertical estimand `a b` against nought.";

constexpr const char horizontal_set_doc[] =
    "horizontal_set($self, searched_to=4.0)\n--\n\n"
    "A 97.5 per cent confidence set for the horizontal estimand.\n\n"
    "`lower` and `upper` are `None` where that end did not close within\n"
    "`searched_to`. That is the point of them: an end reported as the edge of\n"
    "the search would be a statement about the search rather than the data.\n"
    "`unbounded` is true when neither end closed, which is what a direct path\n"
    "the data cannot locate looks like.";

constexpr const char test_horizontal_doc[] =
    "test_horizontal($self)\n--\n\nTest the horizontal estimand `c_prime` against nought.";

PyMethodDef methods[] = {
    py::static_function<build_signature, build>(build_doc),
    py::function<evaluate_signature, evaluate>(evaluate_doc),
    py::function<test_vertical_signature, test_vertical>(test_vertical_doc),
    py::function<test_horizontal_signature, test_horizontal>(test_horizontal_doc),
    py::function<horizontal_set_signature, horizontal_set>(horizontal_set_doc),
    py::function<vertical_set_signature, vertical_set>(vertical_set_doc),
    py::function<fit_signature, fit>(fit_doc),
    {nullptr, nullptr, 0, nullptr},
};

// An instance refers to no Python object of its own, only to its heap type.
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}
int clear(PyObject*) { return 0; }

void dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  py::dealloc_instance<LatentMediationModel>(self);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};
// Instances come only from _build: calling the class is refused by the interpreter.
PyType_Spec spec = {"LatentMediationCore", py::instance_size<LatentMediationModel>(), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

PyObject* latent_mediation_core_type() noexcept { return py::lasting_type<spec>(); }

PyMethodDef latent_mediation_simulate_method() {
  return py::function<simulate_signature, simulate_entry>(simulate_doc);
}

}  // namespace kestrune::latent_mediation::python

#include "prepared/python.hpp"

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "prepared/model.hpp"
#include "provenance_data.hpp"
#include "python/toolkit.hpp"

namespace kestrune::prepared {
namespace {

using python::Fallible;
using python::Item;
using python::Owned;

const PreparedModel& model_of(PyObject* self) { return python::value_of<PreparedModel>(self); }

// ---- construction -------------------------------------------------------------------

constexpr auto new_signature = python::signature(
    "PreparedModel", python::required("x"), python::required("k"),
    python::optional("subject_order_sha256"));

Fallible<Owned> new_model(PyTypeObject* type, const python::Arguments<3>& args) {
  // The views are taken in argument order, so a TypeError names the first bad argument.
  auto x = python::MatrixView::from(args[0]);
  if (!x) return std::unexpected(x.error());
  auto k = python::MatrixView::from(args[1]);
  if (!k) return std::unexpected(k.error());
  auto digest = python::extract_optional(args[2], python::as_str);
  if (!digest) return std::unexpected(digest.error());

  // Both are read in place, whatever their layout: k can be as large as the sample squared and
  // is only read while the model is built, and x is copied only once its shape fits k.
  Result<PreparedModel> built = PreparedModel::build(x->strided(), k->strided(), std::move(*digest));
  if (!built) return code(std::move(built.error()));
  return python::make_instance(type, std::move(*built));
}

// ---- properties ---------------------------------------------------------------------

Fallible<Owned> py_n(PyObject* self) { return python::make_uint(model_of(self).n()); }
Fallible<Owned> py_p(PyObject* self) { return python::make_uint(model_of(self).p()); }
Fallible<Owned> py_min_eigenvalue(PyObject* self) {
  return python::make_float(model_of(self).min_eigenvalue());
}

// ---- the fit's dict -----------------------------------------------------------------

Fallible<Owned> optional_float(const std::optional<double>& value) {
  return python::make_optional(value, python::make_float);
}

const char* boundary_name(Boundary boundary) {
  switch (boundary) {
    case Boundary::lower: return "lower";
    case Boundary::upper: return "upper";
    case Boundary::interior: break;
  }
  return "interior";
}

Fallible<Owned> build_dict() {
  namespace provenance = kestrune::provenance;
  return python::make_dict(
      Item{"version", python::make_str(provenance::version)},
      Item{"cargo_version", python::make_str(provenance::version)},
      Item{"source_commit", python::make_str(provenance::source_commit)},
      Item{"source_dirty", python::make_bool(provenance::source_dirty)},
      Item{"release", python::make_bool(true)},
      Item{"release_manifest_sha256", python::make_str(provenance::release_manifest_sha256)},
      Item{"cargo_lock_sha256", python::make_str(provenance::cargo_lock_sha256)},
      Item{"uv_lock_sha256", python::make_str(provenance::uv_lock_sha256)});
}

Fallible<Owned> interval_dict(const interval::ProfileInterval& record) {
  return python::make_dict(
      Item{"estimate", optional_float(record.estimate)},
      Item{"lower", python::make_float(record.lower)},
      Item{"upper", python::make_float(record.upper)},
      Item{"lower_limited", python::make_bool(record.lower_limited)},
      Item{"upper_limited", python::make_bool(record.upper_limited)},
      Item{"contains_lower_bound", python::make_optional(record.contains_lower_bound, python::make_bool)},
      Item{"contains_upper_bound", python::make_optional(record.contains_upper_bound, python::make_bool)},
      Item{"level", python::make_float(record.level)},
      Item{"profile_failures", python::make_uint(record.profile_failures)},
      Item{"recipe", python::make_str("profile_mixture")});
}

Fallible<Owned> test_dict(const HeritabilityTest& test) {
  return python::make_dict(Item{"null", python::make_str("h2 = 0")},
                           Item{"statistic", python::make_float(test.statistic)},
                           Item{"null_loglik", python::make_float(test.null_loglik)},
                           Item{"p_value", python::make_float(test.p_value)},
                           Item{"rule", python::make_str("mixture_50_50")});
}

Fallible<Owned> standard_errors_dict(const OneTraitFit& fit) {
  std::vector<Item> items;
  if (fit.h2_standard_error) items.push_back(Item{"h2", python::make_float(*fit.h2_standard_error)});
  items.push_back(Item{"beta", python::make_list_of(fit.fixed_effects, [](const FixedEffect& row) {
                         return optional_float(row.standard_error);
                       })});
  return python::make_dict(std::move(items));
}

Fallible<Owned> fixed_effect_dict(const FixedEffect& row) {
  return python::make_dict(Item{"estimate", python::make_float(row.estimate)},
                           Item{"standard_error", optional_float(row.standard_error)},
                           Item{"z", optional_float(row.z)},
                           Item{"p_value", optional_float(row.p_value)},
                           Item{"lower", optional_float(row.lower)},
                           Item{"upper", optional_float(row.upper)},
                           Item{"level", python::make_float(0.95)},
                           Item{"rule", python::make_str("wald")});
}

Fallible<Owned> fit_dict(const PreparedModel& model, const FitReport& report) {
  const OneTraitFit& fit = report.fit;
  return python::make_dict(
      Item{"estimator", python::make_str(report.estimator)},
      Item{"n", python::make_uint(report.n)},
      Item{"h2", python::make_float(fit.h2)},
      Item{"total_variance", python::make_float(fit.total_variance)},
      Item{"beta", python::make_list(fit.beta)},
      Item{"loglik", python::make_float(fit.loglik)},
      Item{"converged", python::make_bool(fit.converged)},
      Item{"boundary", python::make_str(boundary_name(fit.boundary))},
      Item{"warnings", python::make_list(std::span<const std::string>(report.warnings))},
      Item{"subject_order_sha256", python::make_optional(model.subject_order_sha256(), python::make_str)},
      Item{"build", build_dict()},
      Item{"interval", interval_dict(fit.interval)},
      Item{"test", python::make_optional(fit.test, test_dict)},
      Item{"standard_errors", standard_errors_dict(fit)},
      Item{"fixed_effects", python::make_list_of(fit.fixed_effects, fixed_effect_dict)});
}

// ---- fit ----------------------------------------------------------------------------

constexpr auto fit_signature =
    python::signature("PreparedModel.fit", python::required("y"), python::optional("estimator"));

Fallible<Owned> fit(PyObject* self, const python::Arguments<2>& args) {
  auto y = python::copy_vector(args[0]);
  if (!y) return std::unexpected(y.error());
  auto estimator = python::extract_or(args[1], python::as_str, std::string("reml"));
  if (!estimator) return std::unexpected(estimator.error());
  const PreparedModel& model = model_of(self);
  Result<FitReport> report = model.fit(*y, *estimator);
  if (!report) return code(std::move(report.error()));
  return fit_dict(model, *report);
}

// ---- the type -----------------------------------------------------------------------

constexpr const char class_doc[] =
    "PreparedModel(x, k, subject_order_sha256=None)\n--\n\n"
    "A validated, eigendecomposed design and relationship matrix; the only way in.";

constexpr const char fit_doc[] =
    "fit($self, y, estimator=\"reml\")\n--\n\n"
    "Fit the ordinary Gaussian model. The estimator is data on the record;\n"
    "the objective never depends on the response's values.";

PyMethodDef methods[] = {
    python::function<fit_signature, fit>(fit_doc),
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef properties[] = {
    {"n", python::property<py_n>(), nullptr, nullptr, nullptr},
    {"p", python::property<py_p>(), nullptr, nullptr, nullptr},
    {"min_eigenvalue", python::property<py_min_eigenvalue>(), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// The collector tracks instances like those of any other class. An instance refers to no
// Python object of its own, only to its heap type, which the traversal must report.
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}
int clear(PyObject*) { return 0; }

void dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);  // before the model goes, so no collection can reach it half-freed
  python::dealloc_instance<PreparedModel>(self);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(python::constructor<new_signature, new_model>())},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};
// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict and no weak references.
PyType_Spec spec = {"PreparedModel", python::instance_size<PreparedModel>(), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

}  // namespace

PyObject* prepared_model_type() noexcept { return python::lasting_type<spec>(); }

}  // namespace kestrune::prepared

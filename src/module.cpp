// The initialiser of kestrune._core: one module definition for multi-phase
// initialisation whose execution step registers the classes and functions of every
// model, then the provenance of the build, each name also appended to __all__.
#include <Python.h>

#include <array>
#include <optional>

#include "association/python.hpp"
#include "autoregressive/python.hpp"
#include "bivariate/python.hpp"
#include "components/python.hpp"
#include "discrete_gxe/python.hpp"
#include "gxe/python.hpp"
#include "kinship_classes/python.hpp"
#include "latent_mediation/python.hpp"
#include "liability/python.hpp"
#include "mixed_bivariate/python.hpp"
#include "numerics/python.hpp"
#include "prepared/python.hpp"
#include "provenance_data.hpp"
#include "python/toolkit.hpp"
#include "relationship/python.hpp"
#include "spatial/python.hpp"
#include "tobit/python.hpp"
#include "variant_set/python.hpp"

namespace kestrune {
namespace {

namespace py = python;

// One registration: a module function made from its definition, or a class whose
// type object lives for the whole process (the factory returns it borrowed).
struct Registration {
  std::optional<PyMethodDef> function;
  PyObject* (*type)() = nullptr;
};

Registration function(PyMethodDef definition) { return {definition, nullptr}; }
Registration type(PyObject* (*factory)()) { return {std::nullopt, factory}; }

// The registrations, in the order __all__ lists them. The complete order is
//   PreparedModel, weighted_chi2_upper_tail, relationship, bivariate_objective,
//   autoregressive_fit, autoregressive_cells, bivariate_fit, bivariate_interval,
//   kinship_classes, component_fit, component_interval,
//   component_mean_diagonal_interval, component_test, component_equality_test,
//   component_contrasts, component_blup, gxe_fit, gxe_test, gxe_interval,
//   association_sweep, discrete_gxe_fit, discrete_gxe_test,
//   discrete_gxe_correlation_interval, LatentMediationCore,
//   latent_mediation_simulate, liability_fit, liability_interval, liability_test,
//   region_log_probability, variant_set_scan, variant_set_family_scan, tobit_fit,
//   tobit_interval, tobit_test, mixed_bivariate_test, mixed_bivariate_fit,
//   mixed_bivariate_interval, spatial_fit, spatial_statistic, spatial_interval,
//   spatial_bootstrap, spatial_distances, spatial_blup, bivariate_correlation_test,
// then the nine provenance attributes below. A model joins by adding its line at
// its place once its entry point works; the table holds only those.
const std::array registrations = {
    type(prepared::prepared_model_type),
    function(mixture_tail::python::weighted_chi2_upper_tail_method()),
    function(relationship::python::relationship_method()),
    function(bivariate::python::bivariate_objective_method()),
    function(autoregressive::python::autoregressive_fit_method()),
    function(autoregressive::python::autoregressive_cells_method()),
    function(bivariate::python::bivariate_fit_method()),
    function(bivariate::python::bivariate_interval_method()),
    function(kinship_classes::python::kinship_classes_method()),
    function(components::python::component_fit_method()),
    function(components::python::component_interval_method()),
    function(components::python::component_mean_diagonal_interval_method()),
    function(components::python::component_test_method()),
    function(components::python::component_equality_test_method()),
    function(components::python::component_contrasts_method()),
    function(components::python::component_blup_method()),
    function(gxe::python::gxe_fit_method()),
    function(gxe::python::gxe_test_method()),
    function(gxe::python::gxe_interval_method()),
    function(association::python::association_sweep_method()),
    function(discrete_gxe::python::discrete_gxe_fit_method()),
    function(discrete_gxe::python::discrete_gxe_test_method()),
    function(discrete_gxe::python::discrete_gxe_correlation_interval_method()),
    type(latent_mediation::python::latent_mediation_core_type),
    function(latent_mediation::python::latent_mediation_simulate_method()),
    function(liability::python::liability_fit_method()),
    function(liability::python::liability_interval_method()),
    function(liability::python::liability_test_method()),
    function(liability::python::region_log_probability_method()),
    function(variant_set::python::variant_set_scan_method()),
    function(variant_set::python::variant_set_family_scan_method()),
    function(tobit::python::tobit_fit_method()),
    function(tobit::python::tobit_interval_method()),
    function(tobit::python::tobit_test_method()),
    function(mixed_bivariate::python::mixed_bivariate_test_method()),
    function(mixed_bivariate::python::mixed_bivariate_fit_method()),
    function(mixed_bivariate::python::mixed_bivariate_interval_method()),
    function(spatial::python::spatial_fit_method()),
    function(spatial::python::spatial_statistic_method()),
    function(spatial::python::spatial_interval_method()),
    function(spatial::python::spatial_bootstrap_method()),
    function(spatial::python::spatial_distances_method()),
    function(spatial::python::spatial_blup_method()),
    function(bivariate::python::bivariate_correlation_test_method()),
};

// The provenance of the build, fixed when the module was compiled, in the order
// __all__ lists it: each name beside the builder of its value.
struct Attribute {
  const char* name;
  py::Fallible<py::Owned> (*value)();
};

const std::array<Attribute, 9> provenance_attributes = {{
    {"__release_manifest__", [] { return py::make_str(provenance::release_manifest); }},
    {"__cargo_lock__", [] { return py::make_str(provenance::cargo_lock); }},
    {"__uv_lock__", [] { return py::make_str(provenance::uv_lock); }},
    {"__release_manifest_sha256__", [] { return py::make_str(provenance::release_manifest_sha256); }},
    {"__cargo_lock_sha256__", [] { return py::make_str(provenance::cargo_lock_sha256); }},
    {"__uv_lock_sha256__", [] { return py::make_str(provenance::uv_lock_sha256); }},
    {"__source_commit__", [] { return py::make_str(provenance::source_commit); }},
    {"__source_dirty__", [] { return py::make_bool(provenance::source_dirty); }},
    {"__version__", [] { return py::make_str(provenance::version); }},
}};

// The module's __all__, made an empty list when the module has none yet.
py::Fallible<py::Owned> all_list(PyObject* module) {
  py::Owned all = py::Owned::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::raised();
    PyErr_Clear();
    auto fresh = py::checked(PyList_New(0));
    if (!fresh) return fresh;
    if (PyObject_SetAttrString(module, "__all__", fresh->get()) != 0) return py::raised();
    return fresh;
  }
  if (!PyList_Check(all.get())) {
    py::Owned type_name = py::Owned::steal(PyType_GetQualName(Py_TYPE(all.get())));
    if (!type_name) return py::raised();
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'list'", type_name.get());
    return py::raised();
  }
  return all;
}

// Appends `name` to __all__ and sets the attribute `name` to `value`.
py::Fallible<void> add(PyObject* module, PyObject* name, PyObject* value) {
  auto all = all_list(module);
  if (!all) return std::unexpected(all.error());
  if (PyList_Append(all->get(), name) != 0) return py::raised();
  if (PyObject_SetAttr(module, name, value) != 0) return py::raised();
  return {};
}

// A built-in function bound to the module (its __self__), its __module__ the
// module's name, added under the name the new object carries.
py::Fallible<void> add_function(PyObject* module, PyObject* module_name, const PyMethodDef& definition) {
  auto object = py::checked(PyCFunction_NewEx(const_cast<PyMethodDef*>(&definition), module, module_name));
  if (!object) return std::unexpected(object.error());
  auto name = py::checked(PyObject_GetAttrString(object->get(), "__name__"));
  if (!name) return std::unexpected(name.error());
  if (!PyUnicode_Check(name->get())) return py::raise(PyExc_TypeError, "function name is not a str");
  return add(module, name->get(), object->get());
}

py::Fallible<void> add_type(PyObject* module, PyObject* (*factory)()) {
  PyObject* type = factory();
  if (type == nullptr) return py::raised();
  auto name = py::checked(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
  if (!name) return std::unexpected(name.error());
  return add(module, name->get(), type);
}

// The module body: every registration in order; the first failure ends it.
py::Fallible<py::Owned> core(PyObject* module) {
  auto module_name = py::checked(PyModule_GetNameObject(module));
  if (!module_name) return module_name;
  for (const Registration& registration : registrations) {
    auto added = registration.function ? add_function(module, module_name->get(), *registration.function)
                                       : add_type(module, registration.type);
    if (!added) return std::unexpected(added.error());
  }
  for (const Attribute& attribute : provenance_attributes) {
    auto name = py::make_str(attribute.name);
    if (!name) return name;
    auto value = attribute.value();
    if (!value) return value;
    if (auto added = add(module, name->get(), value->get()); !added) return std::unexpected(added.error());
  }
  return py::make_none();
}

int exec_core(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the execution step expects a module object");
    return -1;
  }
  py::interrupt::install();
  py::Owned done = py::Owned::steal(py::guard([module] { return core(module); }));
  return done ? 0 : -1;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_core)},
#ifdef Py_mod_gil  // offered by the limited API from 3.13 on
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef core_definition = {
    PyModuleDef_HEAD_INIT,
    "_core",     // m_name
    "",          // m_doc: the module's __doc__ is the empty string
    0,           // m_size: no per-module state
    nullptr,     // m_methods: functions are added by the execution step
    core_slots,  // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace
}  // namespace kestrune

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&kestrune::core_definition); }

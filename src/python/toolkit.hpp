// The binding toolkit: everything an entry file needs to expose a model to Python.
//
// An entry file declares its parameters and its docstring, converts the bound
// arguments, calls the model and builds the result. Errors are values throughout:
// a converter leaves a TypeError that names the argument, a model's error code is
// returned as is and raised as ValueError by the guard around the body.
//
//   #include "python/toolkit.hpp"
//   namespace py = kestrune::python;
//
//   namespace {
//   constexpr auto tail_signature =
//       py::signature("weighted_chi2_upper_tail", py::required("q"), py::required("weights"));
//
//   py::Fallible<py::Owned> tail_body(const py::Arguments<2>& args) {
//     auto q = py::extract(args[0], py::as_float);              // "argument 'q': ..."
//     if (!q) return std::unexpected(q.error());
//     auto weights = py::extract(args[1], py::as_float_list);   // refuses a str
//     if (!weights) return std::unexpected(weights.error());
//     auto tail = mixture_tail::weighted_chi2_upper_tail(*weights, *q);  // Result<TailResult>
//     if (!tail) return std::unexpected(tail.error());          // -> ValueError(code)
//     return py::make_dict(py::Item{"probability", py::make_float(tail->probability)},
//                          py::Item{"method", py::make_str(tail->method)});
//   }
//   }  // namespace
//
//   // Declared in numerics/python.hpp; the module initialiser registers what it returns.
//   PyMethodDef weighted_chi2_upper_tail_method() {
//     return py::function<tail_signature, tail_body>("weighted_chi2_upper_tail(q, weights)\n--\n\n...");
//   }
//
// Other pieces: extract_or(args[4], as_bool, true) for a left-out default,
// extract_optional(args[3], as_str_list) for "None or omitted means absent",
// MatrixView::from(args[0]) / copy_matrix(args[0]) for float64 arrays,
// make_array(matrix) for a new C-order float64 array, make_tuple(...),
// make_list_of(values, make_float); a method is made by function<...> too, its body
// taking the instance first (Fallible<Owned>(PyObject* self, const Arguments<N>&)),
// and object.hpp holds C++ values inside Python objects (constructor<...>,
// property<...>, make_instance, value_of, dealloc_instance, lasting_type).
#pragma once

#include "python/arguments.hpp"  // IWYU pragma: export
#include "python/arrays.hpp"     // IWYU pragma: export
#include "python/build.hpp"      // IWYU pragma: export
#include "python/convert.hpp"    // IWYU pragma: export
#include "python/entry.hpp"      // IWYU pragma: export
#include "python/object.hpp"     // IWYU pragma: export
#include "python/owned.hpp"      // IWYU pragma: export

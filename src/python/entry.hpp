// Entry points: the guard every call runs in, and the C functions the interpreter
// calls, generated from a signature and a body.
#pragma once

#include <Python.h>

#include <cstring>
#include <exception>
#include <new>
#include <type_traits>

#include "python/arguments.hpp"
#include "python/interrupt.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

namespace detail {
void raise_runtime(const char* what) noexcept;
// MemoryError with a message that says what ran short, so that it never arrives empty.
void raise_no_memory() noexcept;
// The name after the last '.', for the method table ("PreparedModel.fit" -> "fit").
const char* short_name(const char* name) noexcept;
}  // namespace detail

// Runs an entry body (returning Fallible<Owned>) and hands its result to the
// interpreter: the new reference, or null with the exception set. A model's error
// becomes ValueError(code or "code: detail"); std::bad_alloc becomes MemoryError and
// any other C++ exception RuntimeError, so that none crosses into the interpreter.
// A call that a signal handler interrupted (Ctrl-C) ends with the handler's exception
// instead, whatever the body returned.
template <class Body>
PyObject* guard(Body&& body) noexcept {
  interrupt::begin();
  try {
    Fallible<Owned> result = body();
    if (interrupt::stopped()) {
      result = raised();  // drops the result before the handler's exception is set again
      interrupt::end();
      return nullptr;
    }
    if (result) return result->release();
    result.error().raise();
    return nullptr;
  } catch (const std::bad_alloc&) {
    detail::raise_no_memory();
  } catch (const std::exception& error) {
    detail::raise_runtime(error.what());
  } catch (...) {
    detail::raise_runtime("unexpected C++ exception");
  }
  interrupt::end();  // an interrupt outranks whatever failed after it
  return nullptr;
}

namespace detail {

template <const auto& Sig, auto Body>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> Fallible<Owned> {
    auto bound = bind(Sig, args, nargs, kwnames);
    if (!bound) return std::unexpected(bound.error());
    if constexpr (std::is_invocable_v<decltype(Body), PyObject*, decltype(*bound)>)
      return Body(self, *bound);
    else
      return Body(*bound);
  });
}

template <const auto& Sig, auto Body>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Fallible<Owned> {
    auto bound = bind(Sig, args, kwargs);
    if (!bound) return std::unexpected(bound.error());
    return Body(type, *bound);
  });
}

template <auto Body>
PyObject* get(PyObject* self, void*) {
  return guard([&]() -> Fallible<Owned> { return Body(self); });
}

}  // namespace detail

// A module function or a method, fast-called with positional and keyword arguments.
// `Body` is Fallible<Owned>(const Arguments<N>&) for a function, or
// Fallible<Owned>(PyObject* self, const Arguments<N>&) for a method. `doc` begins
// with the signature line, then "--" and a blank line, so that the interpreter
// reports the parameters through __text_signature__.
template <const auto& Sig, auto Body>
PyMethodDef function(const char* doc) {
  auto* call = &detail::fastcall<Sig, Body>;
  return {detail::short_name(Sig.name), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// A static method of a class, called on the class: `Body` is
// Fallible<Owned>(const Arguments<N>&), as for a function.
template <const auto& Sig, auto Body>
PyMethodDef static_function(const char* doc) {
  PyMethodDef definition = function<Sig, Body>(doc);
  definition.ml_flags |= METH_STATIC;
  return definition;
}

// A tp_new slot value: `Body` is Fallible<Owned>(PyTypeObject*, const Arguments<N>&).
template <const auto& Sig, auto Body>
constexpr newfunc constructor() {
  return &detail::construct<Sig, Body>;
}

// A property getter: `Body` is Fallible<Owned>(PyObject* self).
template <auto Body>
constexpr getter property() {
  return &detail::get<Body>;
}

}  // namespace kestrune::python

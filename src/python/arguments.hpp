// Binding a call's arguments to a declared parameter list, with the interpreter's
// own TypeError wording for missing, surplus, unexpected and repeated arguments.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "python/owned.hpp"

namespace kestrune::python {

// One parameter: positional-or-keyword (optional ones follow the required ones), or
// keyword-only (after every positional-or-keyword one, like those after a bare `*`).
struct Parameter {
  const char* name;
  bool required;
  bool keyword_only = false;
};

constexpr Parameter required(const char* name) { return {name, true}; }
constexpr Parameter optional(const char* name) { return {name, false}; }
constexpr Parameter keyword_only(const char* name) { return {name, true, true}; }

// The parameters of one callable and the name its messages use: "f" for a
// function, "PreparedModel.fit" for a method (messages add the "()").
template <std::size_t N>
struct Signature {
  const char* name;
  std::array<Parameter, N> parameters;
};

template <class... P>
constexpr Signature<sizeof...(P)> signature(const char* name, P... parameters) {
  return {name, {parameters...}};
}

// One bound argument: the object (borrowed for the duration of the call; null when
// the caller left an optional parameter out) and the parameter's name for messages.
struct Argument {
  PyObject* object;
  const char* name;

  bool given() const noexcept { return object != nullptr; }
  // Left out or passed as None.
  bool none_or_omitted() const noexcept { return object == nullptr || object == Py_None; }
};

template <std::size_t N>
using Arguments = std::array<Argument, N>;

namespace detail {

// Binding for an erased parameter list; `slots` has one entry per parameter.
// Checks, in the interpreter's order: surplus positionals, then each keyword in
// the order given (unexpected, repeated), then missing required parameters.
Fallible<void> bind_fastcall(const char* name, std::span<const Parameter> parameters,
                             std::span<PyObject*> slots, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
Fallible<void> bind_tuple(const char* name, std::span<const Parameter> parameters,
                          std::span<PyObject*> slots, PyObject* args, PyObject* kwargs);

template <std::size_t N>
Arguments<N> label(const Signature<N>& sig, const std::array<PyObject*, N>& slots) {
  Arguments<N> bound{};
  for (std::size_t i = 0; i < N; ++i) bound[i] = Argument{slots[i], sig.parameters[i].name};
  return bound;
}

}  // namespace detail

// Binds a vectorcall/fastcall call (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
Fallible<Arguments<N>> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (auto ok = detail::bind_fastcall(sig.name, sig.parameters, slots, args, nargs, kwnames); !ok)
    return std::unexpected(ok.error());
  return detail::label(sig, slots);
}

// Binds a classic call with an argument tuple and an optional keyword dict (tp_new).
template <std::size_t N>
Fallible<Arguments<N>> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  if (auto ok = detail::bind_tuple(sig.name, sig.parameters, slots, args, kwargs); !ok)
    return std::unexpected(ok.error());
  return detail::label(sig, slots);
}

}  // namespace kestrune::python

// Converters from Python objects to C++ values.
//
// An `as_*` function converts one object and, on failure, leaves the Python
// exception that explains why (e.g. TypeError "must be real number, not str").
// `extract` applies one to a bound argument and prefixes a TypeError with the
// argument's name: "argument 'q': must be real number, not str". Errors of other
// types (OverflowError, UnicodeEncodeError, MemoryError) pass through unchanged.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "python/arguments.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

// PyFloat_AsDouble rules: floats, ints and objects with __float__ or __index__.
Fallible<double> as_float(PyObject* object);
// Objects with __index__; OverflowError outside the type's range.
Fallible<std::int64_t> as_int64(PyObject* object);
// As as_int64; a negative value is an OverflowError.
Fallible<std::uint64_t> as_uint64(PyObject* object);
// As as_int64; OverflowError outside -128..127.
Fallible<std::int8_t> as_int8(PyObject* object);
// Exactly bool, or a NumPy boolean scalar; ints are refused.
Fallible<bool> as_bool(PyObject* object);
// Exactly a str (or subclass), as its UTF-8 bytes.
Fallible<std::string> as_str(PyObject* object);
// None, or as as_str.
Fallible<std::optional<std::string>> as_optional_str(PyObject* object);

// True for Python's bool and NumPy's boolean scalar: the values a model that wants
// a number refuses, since bool is an int and would pass as 1 or 0.
bool is_boolean(PyObject* object);

// None as an absent value, anything else by `Element`.
template <auto Element>
auto as_optional(PyObject* object)
    -> Fallible<std::optional<typename std::invoke_result_t<decltype(Element), PyObject*>::value_type>> {
  using Value = typename std::invoke_result_t<decltype(Element), PyObject*>::value_type;
  if (object == Py_None) return std::optional<Value>();
  auto value = Element(object);
  if (!value) return std::unexpected(value.error());
  return std::optional<Value>(std::move(*value));
}

// Any sequence except a str ("Can't extract `str` to `Vec`"), element by element.
template <auto Element>
auto as_list(PyObject* object)
    -> Fallible<std::vector<typename std::invoke_result_t<decltype(Element), PyObject*>::value_type>>;

// As as_list, for a sequence of exactly N elements: another length is the ValueError
// "expected a sequence of length N (got M)", raised before any element is converted.
// A str is a sequence of its characters here, as for any fixed-length target.
template <auto Element, std::size_t N>
auto as_array(PyObject* object)
    -> Fallible<std::array<typename std::invoke_result_t<decltype(Element), PyObject*>::value_type, N>>;

Fallible<std::vector<double>> as_float_list(PyObject* object);
Fallible<std::vector<std::string>> as_str_list(PyObject* object);
Fallible<std::vector<std::optional<std::string>>> as_optional_str_list(PyObject* object);

// The value type a converter produces.
template <class Convert>
using converted_t = typename std::invoke_result_t<Convert, PyObject*>::value_type;

namespace detail {
// Replaces a pending TypeError by "argument '<name>': <its message>".
void name_argument(const char* name);
// Sets the TypeError "'<type>' object cannot be converted to '<target>'".
std::unexpected<Failure> cannot_convert(PyObject* object, const char* target);
// Succeeds when `object` is a sequence of exactly `length` items; otherwise sets the exception.
Fallible<void> check_sequence_length(PyObject* object, Py_ssize_t length);
// Sets TypeError "argument '<name>': no value given".
std::unexpected<Failure> no_value(const char* name);
// The sequence protocol check and the str refusal shared by every list converter.
Fallible<Owned> sequence_iterator(PyObject* object);
}  // namespace detail

// Converts a given argument. An optional argument the caller left out has no value
// to convert: use extract_or or extract_optional for those.
template <class Convert>
Fallible<converted_t<Convert>> extract(const Argument& argument, Convert convert) {
  if (!argument.given()) return detail::no_value(argument.name);
  auto value = convert(argument.object);
  if (!value) detail::name_argument(argument.name);
  return value;
}

// As extract, with `fallback` when the caller left the argument out.
template <class Convert, class T>
Fallible<converted_t<Convert>> extract_or(const Argument& argument, Convert convert, T&& fallback) {
  if (!argument.given()) return converted_t<Convert>(std::forward<T>(fallback));
  return extract(argument, convert);
}

// As extract, with nothing when the argument was left out or passed as None.
template <class Convert>
Fallible<std::optional<converted_t<Convert>>> extract_optional(const Argument& argument,
                                                                 Convert convert) {
  if (argument.none_or_omitted()) return std::optional<converted_t<Convert>>();
  auto value = extract(argument, convert);
  if (!value) return std::unexpected(value.error());
  return std::optional<converted_t<Convert>>(std::move(*value));
}

template <auto Element>
auto as_list(PyObject* object)
    -> Fallible<std::vector<typename std::invoke_result_t<decltype(Element), PyObject*>::value_type>> {
  using Value = typename std::invoke_result_t<decltype(Element), PyObject*>::value_type;
  auto iterator = detail::sequence_iterator(object);
  if (!iterator) return std::unexpected(iterator.error());
  std::vector<Value> values;
  while (Owned item = Owned::steal(PyIter_Next(iterator->get()))) {
    auto value = Element(item.get());
    if (!value) return std::unexpected(value.error());
    values.push_back(std::move(*value));
  }
  if (PyErr_Occurred()) return raised();
  return values;
}

template <auto Element, std::size_t N>
auto as_array(PyObject* object)
    -> Fallible<std::array<typename std::invoke_result_t<decltype(Element), PyObject*>::value_type, N>> {
  if (auto length = detail::check_sequence_length(object, static_cast<Py_ssize_t>(N)); !length)
    return std::unexpected(length.error());
  std::array<typename std::invoke_result_t<decltype(Element), PyObject*>::value_type, N> values{};
  for (std::size_t i = 0; i < N; ++i) {
    Owned item = Owned::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(i)));
    if (!item) return raised();
    auto value = Element(item.get());
    if (!value) return std::unexpected(value.error());
    values[i] = std::move(*value);
  }
  return values;
}

}  // namespace kestrune::python

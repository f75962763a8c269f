// Python objects that hold one C++ value inline, and their type objects.
//
// The value sits after the object header, constructed when the object is made and
// destroyed when the interpreter deallocates it. Such a class holds no Python
// references, so it needs no garbage-collector support.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "python/entry.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

namespace detail {
template <class T>
constexpr std::size_t value_offset() {
  return (sizeof(PyObject) + alignof(T) - 1) / alignof(T) * alignof(T);
}
}  // namespace detail

// The tp_basicsize of a type whose instances hold a T.
template <class T>
constexpr int instance_size() {
  return static_cast<int>(detail::value_offset<T>() + sizeof(T));
}

// The T held by `self`, an instance of a type made for T.
template <class T>
T& value_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<T*>(reinterpret_cast<char*>(self) + detail::value_offset<T>()));
}

// A new instance of `type` holding `value`.
template <class T>
Fallible<Owned> make_instance(PyTypeObject* type, T&& value) {
  using Value = std::remove_cvref_t<T>;
  static_assert(std::is_nothrow_constructible_v<Value, T&&>, "the value is placed after allocation");
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc ? alloc(type, 0) : PyType_GenericAlloc(type, 0);
  if (self == nullptr) return raised();
  ::new (static_cast<void*>(reinterpret_cast<char*>(self) + detail::value_offset<Value>()))
      Value(std::forward<T>(value));
  return Owned::steal(self);
}

// The tp_dealloc slot value of a type whose instances hold a T.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  value_of<T>(self).~T();
  auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  release(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

namespace detail {
// "builtins." before a name that carries no module: a class that belongs to no
// module is a builtins class (its __module__ is "builtins"), as the interpreter
// expects of every type made from a spec.
std::string qualified_type_name(const char* name);
}  // namespace detail

// The type made from `spec` at the first call and kept for the life of the process;
// later calls return the same object (borrowed). Null with the exception set when
// making it fails; the next call tries again.
template <PyType_Spec& spec>
PyObject* lasting_type() noexcept {
  static PyObject* type = nullptr;  // guarded by the interpreter lock
  if (type != nullptr) return type;
  try {
    static const std::string name = detail::qualified_type_name(spec.name);  // lives as long as the type
    PyType_Spec named = spec;
    named.name = name.c_str();
    type = PyType_FromSpec(&named);
  } catch (const std::bad_alloc&) {
    detail::raise_no_memory();
  }
  return type;
}

}  // namespace kestrune::python

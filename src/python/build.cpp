#include "python/build.hpp"

namespace kestrune::python {

namespace {

// The items of a composite result are all built before it looks at any of them, so a
// builder may run after an earlier one failed: it must not call into Python with that
// exception pending, and passes the failure on instead.
template <class Make>
Fallible<Owned> unless_pending(Make make) {
  if (PyErr_Occurred()) return raised();
  return checked(make());
}

}  // namespace

Fallible<Owned> make_float(double value) {
  return unless_pending([&] { return PyFloat_FromDouble(value); });
}
Fallible<Owned> make_int(std::int64_t value) {
  return unless_pending([&] { return PyLong_FromLongLong(value); });
}
Fallible<Owned> make_uint(std::uint64_t value) {
  return unless_pending([&] { return PyLong_FromUnsignedLongLong(value); });
}
Fallible<Owned> make_bool(bool value) {
  return unless_pending([&] { return PyBool_FromLong(value ? 1 : 0); });
}
Fallible<Owned> make_none() { return Owned::borrow(Py_None); }

Fallible<Owned> make_str(std::string_view utf8) {
  return unless_pending(
      [&] { return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())); });
}

Fallible<Owned> make_list(std::vector<Fallible<Owned>> items) {
  for (auto& item : items)
    if (!item) return std::unexpected(item.error());
  auto list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SetItem(list->get(), static_cast<Py_ssize_t>(i), items[i]->release());  // steals
  return list;
}

Fallible<Owned> make_list(std::span<const double> values) { return make_list_of(values, make_float); }

Fallible<Owned> make_list(const Eigen::VectorXd& values) {
  return make_list(std::span<const double>(values.data(), static_cast<std::size_t>(values.size())));
}

Fallible<Owned> make_list(std::span<const std::string> values) {
  return make_list_of(values, [](const std::string& text) { return make_str(text); });
}

Fallible<Owned> make_tuple(std::vector<Fallible<Owned>> items) {
  for (auto& item : items)
    if (!item) return std::unexpected(item.error());
  auto tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < items.size(); ++i)
    PyTuple_SetItem(tuple->get(), static_cast<Py_ssize_t>(i), items[i]->release());  // steals
  return tuple;
}

Fallible<Owned> make_dict(std::vector<Item> items) {
  for (auto& item : items)
    if (!item.value) return std::unexpected(item.value.error());
  auto dict = checked(PyDict_New());
  if (!dict) return dict;
  for (const auto& item : items)
    if (PyDict_SetItemString(dict->get(), item.key, item.value->get()) != 0) return raised();
  return dict;
}

}  // namespace kestrune::python

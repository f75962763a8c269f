#include "python/convert.hpp"

namespace kestrune::python {

namespace {

// The type's __module__ is "numpy" and its name "bool" or "bool_". A failure while
// reading either is dropped: the object then simply is not a NumPy boolean.
bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Owned module = Owned::steal(PyObject_GetAttrString(type, "__module__"));
  Owned name = Owned::steal(PyType_GetName(Py_TYPE(object)));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

}  // namespace

Fallible<double> as_float(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return raised();
  return value;
}

Fallible<std::int64_t> as_int64(PyObject* object) {
  Owned index = Owned::steal(PyNumber_Index(object));
  if (!index) return raised();
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return raised();
  return static_cast<std::int64_t>(value);
}

Fallible<std::uint64_t> as_uint64(PyObject* object) {
  Owned index = Owned::steal(PyNumber_Index(object));
  if (!index) return raised();
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return raised();
  return static_cast<std::uint64_t>(value);
}

Fallible<std::int8_t> as_int8(PyObject* object) {
  auto value = as_int64(object);
  if (!value) return std::unexpected(value.error());
  if (*value < -128 || *value > 127) return raise(PyExc_OverflowError, "value out of range for an 8-bit signed integer");
  return static_cast<std::int8_t>(*value);
}

Fallible<bool> as_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return raised();
    return truth == 1;
  }
  return detail::cannot_convert(object, "bool");
}

Fallible<std::string> as_str(PyObject* object) {
  if (!PyUnicode_Check(object)) return detail::cannot_convert(object, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return raised();  // e.g. a lone surrogate: UnicodeEncodeError
  return std::string(utf8, static_cast<std::size_t>(size));
}

Fallible<std::optional<std::string>> as_optional_str(PyObject* object) {
  if (object == Py_None) return std::optional<std::string>();
  auto text = as_str(object);
  if (!text) return std::unexpected(text.error());
  return std::optional<std::string>(std::move(*text));
}

bool is_boolean(PyObject* object) { return PyBool_Check(object) || is_numpy_bool(object); }

Fallible<std::vector<double>> as_float_list(PyObject* object) { return as_list<as_float>(object); }
Fallible<std::vector<std::string>> as_str_list(PyObject* object) { return as_list<as_str>(object); }
Fallible<std::vector<std::optional<std::string>>> as_optional_str_list(PyObject* object) {
  return as_list<as_optional_str>(object);
}

namespace detail {

void name_argument(const char* name) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Owned owned_type = Owned::steal(type), owned_value = Owned::steal(value),
        owned_traceback = Owned::steal(traceback);
  if (type != PyExc_TypeError) {  // a subclass keeps its own type and message
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  Owned text = Owned::steal(value ? PyObject_Str(value) : nullptr);
  if (!text) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", name);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

std::unexpected<Failure> cannot_convert(PyObject* object, const char* target) {
  Owned type_name = Owned::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) return raised();
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  return raised();
}

std::unexpected<Failure> no_value(const char* name) {
  PyErr_Format(PyExc_TypeError, "argument '%s': no value given", name);
  return raised();
}

Fallible<void> check_sequence_length(PyObject* object, Py_ssize_t length) {
  if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return raised();
  if (size != length) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", length, size);
    return raised();
  }
  return {};
}

Fallible<Owned> sequence_iterator(PyObject* object) {
  if (PyUnicode_Check(object)) return raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
  return checked(PyObject_GetIter(object));
}

}  // namespace detail
}  // namespace kestrune::python

#include "python/arrays.hpp"

#include <bit>
#include <string>

#include "python/convert.hpp"

namespace kestrune::python {
namespace detail {

void BufferRelease::operator()(Py_buffer* buffer) const noexcept {
  PyBuffer_Release(buffer);
  delete buffer;
}

namespace {

// isinstance(object, numpy.ndarray) without importing NumPy: an object can only be
// an array when NumPy is already loaded.
Fallible<bool> is_ndarray(PyObject* object) {
  Owned name = Owned::steal(PyUnicode_FromString("numpy"));
  if (!name) return raised();
  Owned numpy = Owned::steal(PyImport_GetModule(name.get()));
  if (!numpy) return PyErr_Occurred() ? Fallible<bool>(raised()) : false;
  Owned ndarray = Owned::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
  if (!ndarray) return raised();
  if (!PyType_Check(ndarray.get())) return false;
  return PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(ndarray.get())) != 0;
}

const char* element_name(Element element) { return element == Element::float64 ? "float64" : "int64"; }

// Native byte order: no prefix, '@', '=', or the explicit marker of this machine.
bool native_format(const char* format, std::string_view codes) {
  std::string_view text = format ? format : "B";
  const char native = std::endian::native == std::endian::little ? '<' : '>';
  if (!text.empty() && (text[0] == '@' || text[0] == '=' || text[0] == native)) text.remove_prefix(1);
  return text.size() == 1 && codes.find(text[0]) != std::string_view::npos;
}

bool element_matches(const Py_buffer& buffer, Element element) {
  if (buffer.itemsize != 8) return false;
  return element == Element::float64 ? native_format(buffer.format, "d") : native_format(buffer.format, "lq");
}

// TypeError "argument 'x': expected a NumPy array of float64, got int64 (<what>)".
std::unexpected<Failure> wrong_dtype(PyObject* object, const char* name, Element element) {
  Owned dtype = Owned::steal(PyObject_GetAttrString(object, "dtype"));
  Owned text = Owned::steal(dtype ? PyObject_Str(dtype.get()) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = Owned::steal(PyUnicode_FromString("another dtype"));
    if (!text) return raised();
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of dtype %s, got %U", name,
               element_name(element), text.get());
  return raised();
}

}  // namespace

Fallible<Buffer> take_buffer(PyObject* object, const char* name, Element element, int dims) {
  if (object == nullptr) return no_value(name);
  auto array = is_ndarray(object);
  if (!array) return std::unexpected(array.error());
  if (!*array) {
    Owned type_name = Owned::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return raised();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a NumPy array of %s with %d dimension%s, got '%U'",
                 name, element_name(element), dims, dims == 1 ? "" : "s", type_name.get());
    return raised();
  }
  auto storage = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(object, storage.get(), PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // NumPy exports no buffer for some dtypes (object, datetime): not ours either
    return wrong_dtype(object, name, element);
  }
  Buffer buffer(storage.release());
  if (buffer->ndim != dims) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of %d dimension%s, got %d", name, dims,
                 dims == 1 ? "" : "s", buffer->ndim);
    return raised();
  }
  if (!element_matches(*buffer, element)) return wrong_dtype(object, name, element);
  return buffer;
}

}  // namespace detail

namespace {

// NumPy from sys.modules, imported only when nobody has imported it yet.
Fallible<Owned> numpy_module() {
  Owned name = Owned::steal(PyUnicode_FromString("numpy"));
  if (!name) return raised();
  Owned loaded = Owned::steal(PyImport_GetModule(name.get()));
  if (loaded) return loaded;
  if (PyErr_Occurred()) return raised();
  return checked(PyImport_Import(name.get()));
}

// numpy.empty(shape, "float64") and a writable C-contiguous buffer of it, filled by
// `fill(double* row_major)`.
template <class Fill>
Fallible<Owned> new_array(Owned shape, Fill fill) {
  if (PyErr_Occurred()) return raised();  // an earlier item of the same result failed
  auto module = numpy_module();
  if (!module) return module;
  Owned numpy = std::move(*module);
  Owned empty = Owned::steal(PyObject_GetAttrString(numpy.get(), "empty"));
  if (!empty) return raised();
  Owned args = Owned::steal(Py_BuildValue("(Os)", shape.get(), "float64"));
  if (!args) return raised();
  Owned array = Owned::steal(PyObject_CallObject(empty.get(), args.get()));
  if (!array) return raised();
  Py_buffer buffer;
  if (PyObject_GetBuffer(array.get(), &buffer, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) return raised();
  struct Release {
    Py_buffer* buffer;
    ~Release() { PyBuffer_Release(buffer); }
  } release{&buffer};
  fill(static_cast<double*>(buffer.buf));
  return array;
}

Fallible<Owned> shape_of(Py_ssize_t rows) { return checked(Py_BuildValue("(n)", rows)); }
Fallible<Owned> shape_of(Py_ssize_t rows, Py_ssize_t cols) { return checked(Py_BuildValue("(nn)", rows, cols)); }

}  // namespace

Fallible<Eigen::MatrixXd> copy_matrix(const Argument& argument) {
  auto view = MatrixView::from(argument);
  if (!view) return std::unexpected(view.error());
  return view->to_matrix();
}

Fallible<Eigen::VectorXd> copy_vector(const Argument& argument) {
  auto view = VectorView::from(argument);
  if (!view) return std::unexpected(view.error());
  return Eigen::VectorXd(view->to_matrix());
}

Fallible<std::vector<MatrixView>> view_matrix_list(const Argument& argument) {
  if (!argument.given()) return detail::no_value(argument.name);
  auto iterator = detail::sequence_iterator(argument.object);
  if (!iterator) {
    detail::name_argument(argument.name);
    return std::unexpected(iterator.error());
  }
  std::vector<MatrixView> views;
  while (Owned item = Owned::steal(PyIter_Next(iterator->get()))) {
    auto view = MatrixView::from(Argument{item.get(), argument.name});
    if (!view) return std::unexpected(view.error());
    views.push_back(std::move(*view));
  }
  if (PyErr_Occurred()) return raised();
  return views;
}

Fallible<std::vector<Eigen::MatrixXd>> copy_matrix_list(const Argument& argument) {
  auto views = view_matrix_list(argument);
  if (!views) return std::unexpected(views.error());
  std::vector<Eigen::MatrixXd> matrices;
  matrices.reserve(views->size());
  for (const MatrixView& view : *views) matrices.push_back(view.to_matrix());
  return matrices;
}

std::vector<matrix_scan::Strided> strided_list(std::span<const MatrixView> views) {
  std::vector<matrix_scan::Strided> strided;
  strided.reserve(views.size());
  for (const MatrixView& view : views) strided.push_back(view.strided());
  return strided;
}

Fallible<Owned> make_array(std::span<const double> values) {
  auto shape = shape_of(static_cast<Py_ssize_t>(values.size()));
  if (!shape) return shape;
  return new_array(std::move(*shape), [&](double* out) {
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i];
  });
}

Fallible<Owned> make_array(const Eigen::VectorXd& values) {
  return make_array(std::span<const double>(values.data(), static_cast<std::size_t>(values.size())));
}

Fallible<Owned> make_array(const Eigen::MatrixXd& values) {
  auto shape = shape_of(values.rows(), values.cols());
  if (!shape) return shape;
  return new_array(std::move(*shape), [&](double* out) {
    for (Eigen::Index i = 0; i < values.rows(); ++i)
      for (Eigen::Index j = 0; j < values.cols(); ++j) *out++ = values(i, j);
  });
}

Fallible<Owned> make_array(std::span<const double> row_major, Py_ssize_t rows, Py_ssize_t cols) {
  if (rows < 0 || cols < 0 || static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) != row_major.size())
    return raise(PyExc_ValueError, "array shape does not match its element count");
  auto shape = shape_of(rows, cols);
  if (!shape) return shape;
  return new_array(std::move(*shape), [&](double* out) {
    for (std::size_t i = 0; i < row_major.size(); ++i) out[i] = row_major[i];
  });
}

Fallible<Owned> make_array_filled(Py_ssize_t rows, Py_ssize_t cols,
                                  const std::function<void(std::span<double>)>& fill) {
  auto shape = shape_of(rows, cols);
  if (!shape) return shape;
  const auto size = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  return new_array(std::move(*shape), [&](double* out) { fill(std::span<double>(out, size)); });
}

}  // namespace kestrune::python

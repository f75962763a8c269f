// Read-only views of NumPy arrays through the buffer protocol, and new float64 arrays.
//
// A view takes exactly the element type asked for in native byte order and exactly
// the number of dimensions asked for; it honours any strides (negative ones too) and
// releases the buffer when it goes out of scope, on every path. Nothing is converted:
// a float32, integer or boolean array, a list or an array of another rank is a
// TypeError naming the argument.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "numerics/matrix_scan.hpp"
#include "python/arguments.hpp"
#include "python/owned.hpp"

namespace kestrune::python {

namespace detail {
struct BufferRelease {
  void operator()(Py_buffer* buffer) const noexcept;
};
using Buffer = std::unique_ptr<Py_buffer, BufferRelease>;

enum class Element { float64, int64 };
// Takes a buffer of `object` if it is a NumPy array of that element type and rank;
// otherwise sets TypeError naming `name`.
Fallible<Buffer> take_buffer(PyObject* object, const char* name, Element element, int dims);
}  // namespace detail

// A read-only view of a NumPy array of `Scalar` (double or std::int64_t) with
// `Dims` (1 or 2) dimensions. Element (i, j) of a vector is read with j = 0.
//
// A float64 matrix is also offered as a matrix_scan::Strided view of the caller's memory, read
// in place whatever its order and strides. The rare buffer whose elements are not aligned whole
// doubles (a field of packed records, a misaligned slice of raw bytes) is copied once when the
// view is taken, and the Strided view shows the copy.
template <class Scalar, int Dims>
class ArrayView {
  static_assert(Dims == 1 || Dims == 2);

 public:
  static Fallible<ArrayView> from(const Argument& argument) {
    auto buffer = detail::take_buffer(argument.object, argument.name, element(), Dims);
    if (!buffer) return std::unexpected(buffer.error());
    ArrayView view(std::move(*buffer));
    if constexpr (std::is_same_v<Scalar, double> && Dims == 2) {
      if (!view.element_strides()) view.unaligned_copy_ = std::make_unique<Eigen::MatrixXd>(view.to_matrix());
    }
    return view;
  }

  Py_ssize_t rows() const noexcept { return buffer_->shape[0]; }
  Py_ssize_t cols() const noexcept { return Dims == 2 ? buffer_->shape[1] : 1; }
  Py_ssize_t size() const noexcept { return rows() * cols(); }

  Scalar operator()(Py_ssize_t i, Py_ssize_t j = 0) const noexcept {
    const char* at = static_cast<const char*>(buffer_->buf) + i * buffer_->strides[0];
    if constexpr (Dims == 2) at += j * buffer_->strides[1];
    Scalar value;  // NumPy arrays need not be aligned
    std::memcpy(&value, at, sizeof value);
    return value;
  }

  // A column-major copy of the array (a column vector for one dimension).
  // Copied tile by tile, so that a C-order source and the column-major copy both stay in
  // cache: a large relationship matrix is read at memory speed either way round.
  Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic> to_matrix() const {
    constexpr Py_ssize_t tile = 64;
    Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic> copy(rows(), cols());
    if (const auto strides = element_strides()) {
      // Aligned elements: read them as Scalar through strides counted in elements.
      const auto* data = static_cast<const Scalar*>(buffer_->buf);
      const auto [row_step, col_step] = *strides;
      for (Py_ssize_t j0 = 0; j0 < cols(); j0 += tile) {
        const Py_ssize_t j1 = std::min(cols(), j0 + tile);
        for (Py_ssize_t i0 = 0; i0 < rows(); i0 += tile) {
          const Py_ssize_t i1 = std::min(rows(), i0 + tile);
          for (Py_ssize_t j = j0; j < j1; ++j)
            for (Py_ssize_t i = i0; i < i1; ++i) copy(i, j) = data[i * row_step + j * col_step];
        }
      }
      return copy;
    }
    for (Py_ssize_t j0 = 0; j0 < cols(); j0 += tile) {
      const Py_ssize_t j1 = std::min(cols(), j0 + tile);
      for (Py_ssize_t i0 = 0; i0 < rows(); i0 += tile) {
        const Py_ssize_t i1 = std::min(rows(), i0 + tile);
        for (Py_ssize_t i = i0; i < i1; ++i)
          for (Py_ssize_t j = j0; j < j1; ++j) copy(i, j) = (*this)(i, j);
      }
    }
    return copy;
  }

  // The matrix as a strided view, valid while this view lives.
  matrix_scan::Strided strided() const {
    static_assert(std::is_same_v<Scalar, double> && Dims == 2);
    if (unaligned_copy_) return matrix_scan::Strided(*unaligned_copy_);
    const auto [row_step, col_step] = *element_strides();
    return {static_cast<const double*>(buffer_->buf), rows(), cols(), row_step, col_step};
  }

  // The elements in index order (row by row for two dimensions).
  std::vector<Scalar> to_vector() const {
    std::vector<Scalar> copy;
    copy.reserve(static_cast<std::size_t>(size()));
    for (Py_ssize_t i = 0; i < rows(); ++i)
      for (Py_ssize_t j = 0; j < cols(); ++j) copy.push_back((*this)(i, j));
    return copy;
  }

 private:
  explicit ArrayView(detail::Buffer buffer) : buffer_(std::move(buffer)) {}
  static constexpr detail::Element element() {
    static_assert(std::is_same_v<Scalar, double> || std::is_same_v<Scalar, std::int64_t>);
    return std::is_same_v<Scalar, double> ? detail::Element::float64 : detail::Element::int64;
  }
  // The strides in elements, when the data are aligned for Scalar and both strides are whole
  // elements (negative ones included); absent otherwise.
  std::optional<std::pair<Py_ssize_t, Py_ssize_t>> element_strides() const {
    constexpr auto item = static_cast<Py_ssize_t>(sizeof(Scalar));
    const Py_ssize_t s0 = buffer_->strides[0], s1 = Dims == 2 ? buffer_->strides[1] : 0;
    if (reinterpret_cast<std::uintptr_t>(buffer_->buf) % alignof(Scalar) != 0 || s0 % item != 0 || s1 % item != 0)
      return std::nullopt;
    return std::pair{s0 / item, s1 / item};
  }

  detail::Buffer buffer_;
  std::unique_ptr<Eigen::MatrixXd> unaligned_copy_;  // only for a matrix whose elements are not aligned
};

using VectorView = ArrayView<double, 1>;
using MatrixView = ArrayView<double, 2>;
using CodesView = ArrayView<std::int64_t, 1>;

// Shortcuts that view and copy at once, for arguments a model only needs as copies.
Fallible<Eigen::MatrixXd> copy_matrix(const Argument& argument);
Fallible<Eigen::VectorXd> copy_vector(const Argument& argument);
// Any sequence except a str, each element a two-dimensional float64 array: views of all of
// them, every element tested at once, for a caller that copies them one at a time later.
Fallible<std::vector<MatrixView>> view_matrix_list(const Argument& argument);
// The same, copied.
Fallible<std::vector<Eigen::MatrixXd>> copy_matrix_list(const Argument& argument);
// The strided views of such a list, valid while the views live.
std::vector<matrix_scan::Strided> strided_list(std::span<const MatrixView> views);

// New C-order float64 arrays made by NumPy and filled with one copy.
Fallible<Owned> make_array(std::span<const double> values);       // one dimension
Fallible<Owned> make_array(const Eigen::VectorXd& values);        // one dimension
Fallible<Owned> make_array(const Eigen::MatrixXd& values);        // two dimensions, same shape
// Two dimensions from row-major data: values.size() must be rows * cols.
Fallible<Owned> make_array(std::span<const double> row_major, Py_ssize_t rows, Py_ssize_t cols);
// Two dimensions written in place: `fill` gets NumPy's own rows * cols row-major buffer, so a
// large result costs one array and no copy. An exception from `fill` releases the array.
Fallible<Owned> make_array_filled(Py_ssize_t rows, Py_ssize_t cols,
                                  const std::function<void(std::span<double>)>& fill);

}  // namespace kestrune::python

// Dense kernels of the exact compact path: a row-major matrix, the compact
// summation order over strided operands, an in-place upper Cholesky factor and
// the two triangular solves with it.
//
// Every kernel fixes the order and rounding of its arithmetic so that the
// engine repeats its iterates bit for bit; -ffp-contract=off keeps the
// compiler from fusing what is written as a separate multiply and add.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace compat_lbfgsb::backend::native::compact {

// A dense matrix of fixed shape stored row by row; entry (r, c) is column c
// of row r. One block of memory, allocated once at construction.
class RowMatrix {
public:
    RowMatrix() = default;
    RowMatrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols, 0.0) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }

    double& operator()(std::size_t r, std::size_t c) noexcept { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const noexcept { return data_[r * cols_ + c]; }

    std::span<double> row(std::size_t r) noexcept { return {data_.data() + r * cols_, cols_}; }
    std::span<const double> row(std::size_t r) const noexcept { return {data_.data() + r * cols_, cols_}; }

    void fill(double value) noexcept { std::fill(data_.begin(), data_.end(), value); }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

// Sum of a(k) * b(k) for k < len in the order of `compatibility_dot` in compact
// mode: from +0.0, the first 4 * floor(len / 4) products rounded and added in
// index order, the remaining ones fused. The operands are fetched by index so
// that columns of a RowMatrix can be summed without gathering them first.
template <class A, class B>
double compact_dot(std::size_t len, A&& a, B&& b) {
    const std::size_t blocked = len - len % 4;
    double sum = 0.0;
    for (std::size_t k = 0; k < blocked; ++k) {
        const double product = a(k) * b(k);
        sum = sum + product;
    }
    for (std::size_t k = blocked; k < len; ++k) sum = std::fma(a(k), b(k), sum);
    return sum;
}

// Solves R x = b for the leading n x n upper triangle R of `r`, b overwritten
// with x. False when b has not n entries (b untouched) or a diagonal entry is
// zero, infinite or NaN (b then partly overwritten).
bool coherent_solve_upper_in_place(const RowMatrix& r, std::size_t n, std::span<double> b);

// Solves R' x = b for the leading n x n upper triangle R of `r`; the same
// failures as coherent_solve_upper_in_place.
bool coherent_solve_upper_transpose_in_place(const RowMatrix& r, std::size_t n, std::span<double> b);

// Replaces the upper triangle of the n x n block at (offset, offset) by its
// upper Cholesky factor R (block = R' R). Entries below the diagonal are never
// read or written. False when a remainder on the diagonal is not finite or not
// positive; the block is then partly overwritten.
bool coherent_cholesky_upper_in_place(RowMatrix& a, std::size_t offset, std::size_t n);

}  // namespace compat_lbfgsb::backend::native::compact

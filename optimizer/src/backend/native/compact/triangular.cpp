#include "backend/native/compact/triangular.hpp"

namespace compat_lbfgsb::backend::native::compact {
namespace {

// A pivot a solve cannot divide by; the sign is not tested.
bool unusable_pivot(double p) { return p == 0.0 || !std::isfinite(p); }

// The callers always pass a block that fits; a block that does not is refused
// rather than read out of range.
bool block_fits(const RowMatrix& m, std::size_t end) { return end <= m.rows() && end <= m.cols(); }

}  // namespace

bool coherent_solve_upper_in_place(const RowMatrix& r, std::size_t n, std::span<double> b) {
    if (b.size() != n || !block_fits(r, n)) return false;
    // Back substitution by columns: once x_i is known, its column is removed
    // from every entry above it with one fused multiply-subtract.
    for (std::size_t i = n; i-- > 0;) {
        const double p = r(i, i);
        if (unusable_pivot(p)) return false;
        b[i] = b[i] / p;
        for (std::size_t k = 0; k < i; ++k) b[k] = std::fma(-b[i], r(k, i), b[k]);
    }
    return true;
}

bool coherent_solve_upper_transpose_in_place(const RowMatrix& r, std::size_t n, std::span<double> b) {
    if (b.size() != n || !block_fits(r, n)) return false;
    // Forward substitution by inner products of column i above the diagonal.
    for (std::size_t i = 0; i < n; ++i) {
        const double d = compact_dot(i, [&](std::size_t k) { return r(k, i); }, [&](std::size_t k) { return b[k]; });
        const double p = r(i, i);
        if (unusable_pivot(p)) return false;
        b[i] = (b[i] - d) / p;
    }
    return true;
}

bool coherent_cholesky_upper_in_place(RowMatrix& a, std::size_t offset, std::size_t n) {
    if (!block_fits(a, offset + n)) return false;
    auto at = [&](std::size_t r, std::size_t c) -> double& { return a(offset + r, offset + c); };
    for (std::size_t j = 0; j < n; ++j) {
        double squares = 0.0;
        for (std::size_t k = 0; k < j; ++k) {
            // Column j above row k already holds R in this pass.
            const double d =
                compact_dot(k, [&](std::size_t i) { return at(i, k); }, [&](std::size_t i) { return at(i, j); });
            const double t = (at(k, j) - d) / at(k, k);
            at(k, j) = t;
            const double square = t * t;
            squares = squares + square;
        }
        // The accumulated squares leave the diagonal in one subtraction; any
        // finite positive remainder, however small, is accepted.
        const double q = at(j, j) - squares;
        if (!std::isfinite(q) || q <= 0.0) return false;
        at(j, j) = std::sqrt(q);
    }
    return true;
}

}  // namespace compat_lbfgsb::backend::native::compact

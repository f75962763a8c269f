// Dense reference algebra for the optimizer's tests: independent of the engine's own
// summation orders, used to check its limited-memory matrices and steps.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

namespace dense_reference {

using Vec = std::vector<double>;
using Mat = std::vector<Vec>;

inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline double dot(const Vec& a, const Vec& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// One curvature pair: step s and gradient change y.
struct Pair { Vec s, y; };

// Solves a x = v by Gaussian elimination with partial pivoting.
inline Vec gauss_solve(Mat a, Vec v) {
    const std::size_t n = v.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[piv][c])) piv = r;
        std::swap(a[c], a[piv]);
        std::swap(v[c], v[piv]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            v[r] -= f * v[c];
        }
    }
    Vec x(n);
    for (std::size_t i = n; i-- > 0;) {
        double s = v[i];
        for (std::size_t k = i + 1; k < n; ++k) s -= a[i][k] * x[k];
        x[i] = s / a[i][i];
    }
    return x;
}

}  // namespace dense_reference

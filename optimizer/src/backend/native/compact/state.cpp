#include "backend/native/compact/state.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "backend/native/kernels.hpp"

namespace compat_lbfgsb::backend::native::compact {
namespace {

std::int32_t initial_status(double lower, double upper) {
    if (std::isfinite(lower)) return std::isfinite(upper) && upper <= lower ? ALWAYS_FIXED : FREE;
    return std::isfinite(upper) ? FREE : ALWAYS_FREE;
}

}  // namespace

ExactCompactState::ExactCompactState(std::size_t n_, std::size_t m_, std::span<const double> lower,
                                     std::span<const double> upper)
    : n(n_),
      m(std::max<std::size_t>(m_, 1)),
      ws(m, n),
      wy(m, n),
      sy(m, m),
      ss(m, m),
      wt(m, m),
      wn(2 * m, 2 * m),
      wn1(2 * m, 2 * m),
      iwhere(n),
      index(n),
      indx2(n, 0) {
    std::iota(index.begin(), index.end(), std::size_t{0});
    for (std::size_t i = 0; i < n; ++i) iwhere[i] = initial_status(lower[i], upper[i]);
}

void ExactCompactState::clear_history() {
    head = itail = col = iupdat = 0;
    theta = 1.0;
    updatd = false;
    sy.fill(0.0);
    ss.fill(0.0);
    wt.fill(0.0);
    wn.fill(0.0);
    wn1.fill(0.0);
}

bool ExactCompactState::update(std::span<const double> d, std::span<const double> y, double stp, double gd_old,
                               double gd_new) {
    const double rr = compatibility_dot(true, y, y);
    // With a unit step the products with stp are not formed at all.
    const bool unit = stp == 1.0;
    const double dr = unit ? gd_new - gd_old : stp * (gd_new - gd_old);
    const double q = unit ? gd_old : stp * gd_old;
    if (dr <= q * -EPSMCH) {
        updatd = false;
        return true;
    }
    const double dtd = compatibility_dot(true, d, d);
    std::vector<double> s(d.begin(), d.begin() + n);
    if (!unit)
        for (double& v : s) v = stp * v;

    ++iupdat;
    const bool full = iupdat > m;
    if (!full) {
        col = iupdat;
        itail = (head + iupdat - 1) % m;
    } else {
        itail = (itail + 1) % m;
        head = (head + 1) % m;
    }
    std::copy(s.begin(), s.end(), ws.row(itail).begin());
    std::copy(y.begin(), y.begin() + n, wy.row(itail).begin());
    theta = rr / dr;

    if (full) {
        // The oldest pair is gone: every entry moves up one age position.
        for (std::size_t j = 0; j + 1 < col; ++j) {
            for (std::size_t i = 0; i <= j; ++i) ss(i, j) = ss(i + 1, j + 1);
            for (std::size_t i = j; i + 1 < col; ++i) sy(i, j) = sy(i + 1, j + 1);
        }
    }
    const std::size_t last = col - 1;
    for (std::size_t j = 0, p = head; j < last; ++j, p = (p + 1) % m) {
        sy(last, j) = compatibility_dot(true, s, wy.row(p).first(n));
        ss(j, last) = compatibility_dot(true, ws.row(p).first(n), s);
    }
    ss(last, last) = unit ? dtd : (stp * stp) * dtd;
    sy(last, last) = dr;

    // T = theta S'S + L D^-1 L' in the upper triangle of wt.
    for (std::size_t j = 0; j < col; ++j) wt(0, j) = theta * ss(0, j);
    for (std::size_t i = 1; i < col; ++i) {
        for (std::size_t j = i; j < col; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < i; ++k) {
                const double product = sy(i, k) * sy(j, k);
                sum = sum + product / sy(k, k);
            }
            const double scaled = theta * ss(i, j);
            wt(i, j) = sum + scaled;
        }
    }
    if (!coherent_cholesky_upper_in_place(wt, 0, col)) {
        clear_history();
        return false;
    }
    updatd = true;
    return true;
}

std::optional<std::vector<double>> ExactCompactState::bmv(std::span<const double> v) const {
    if (v.size() != 2 * col) return std::nullopt;
    std::vector<double> p(2 * col, 0.0);
    if (!bmv_into(v, p)) return std::nullopt;
    return p;
}

bool ExactCompactState::bmv_into(std::span<const double> v, std::span<double> p) const {
    if (v.size() != 2 * col || p.size() != 2 * col) return false;
    if (col == 0) return true;
    std::fill(p.begin(), p.end(), 0.0);
    const std::span<double> lower_half = p.subspan(col);

    // Forward half: [D^1/2, 0; -L D^-1/2, R'] applied inversely.
    p[col] = v[col];
    for (std::size_t i = 1; i < col; ++i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < i; ++k) {
            const double product = v[k] * sy(i, k);
            sum = sum + product / sy(k, k);
        }
        p[col + i] = v[col + i] + sum;
    }
    if (!coherent_solve_upper_transpose_in_place(wt, col, lower_half)) return false;
    for (std::size_t i = 0; i < col; ++i) p[i] = v[i] / std::sqrt(sy(i, i));

    // Backward half: [-D^1/2, D^-1/2 L'; 0, R] applied inversely.
    if (!coherent_solve_upper_in_place(wt, col, lower_half)) return false;
    for (std::size_t i = 0; i < col; ++i) p[i] = -p[i] / std::sqrt(sy(i, i));
    for (std::size_t i = 0; i < col; ++i) {
        double sum = 0.0;
        for (std::size_t k = i + 1; k < col; ++k) {
            const double product = p[col + k] * sy(k, i);
            sum = sum + product / sy(i, i);
        }
        p[i] = sum + p[i];
    }
    return true;
}

}  // namespace compat_lbfgsb::backend::native::compact

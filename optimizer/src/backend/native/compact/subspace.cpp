#include "backend/native/compact/subspace.hpp"

#include <cmath>
#include <utility>

namespace compat_lbfgsb::backend::native::compact {
namespace {

// Plain sum from +0.0 of a[k] * b[k] over the variables k in `vars`.
double sum_over(std::span<const std::size_t> vars, std::span<const double> a, std::span<const double> b) {
    double sum = 0.0;
    for (const std::size_t k : vars) {
        const double product = a[k] * b[k];
        sum = sum + product;
    }
    return sum;
}

}  // namespace

std::optional<std::vector<double>> reduced_gradient(const ExactCompactState& state, std::span<const double> x,
                                                    std::span<const double> g, std::span<const double> xcp,
                                                    std::span<const double> c, std::size_t nfree) {
    const double theta = state.theta;
    std::vector<double> r(nfree);
    for (std::size_t j = 0; j < nfree; ++j) {
        const std::size_t k = state.index[j];
        const double step = xcp[k] - x[k];
        r[j] = step * -theta - g[k];
    }
    const std::size_t col = state.col;
    if (col == 0) return r;
    const auto v = state.bmv(c);
    if (!v) return std::nullopt;
    for (std::size_t j = 0; j < col; ++j) {
        const std::size_t s = state.slot(j);
        const double a1 = (*v)[j];
        const double a2 = theta * (*v)[col + j];
        for (std::size_t i = 0; i < nfree; ++i) {
            const std::size_t k = state.index[i];
            const double from_y = a1 * state.wy(s, k);
            const double from_s = a2 * state.ws(s, k);
            r[i] = r[i] + (from_y + from_s);
        }
    }
    return r;
}

void ExactCompactState::update_inner_products(const FreeSetChange& change) {
    const std::span<const std::size_t> free_vars(index.data(), change.nfree);
    const std::span<const std::size_t> active_vars(index.data() + change.nfree, n - change.nfree);
    const std::span<const std::size_t> entering(indx2.data(), change.nenter);
    const std::span<const std::size_t> leaving(indx2.data() + change.ileave, n - change.ileave);
    auto y_of = [&](std::size_t s) { return std::span<const double>(wy.row(s)); };
    auto s_of = [&](std::size_t s) { return std::span<const double>(ws.row(s)); };

    std::size_t upcl = col;
    if (updatd) {
        if (iupdat > m) {
            // Memory full: the oldest pair leaves every block of wn1.
            for (std::size_t jy = 0; jy + 1 < m; ++jy) {
                for (std::size_t r = jy; r + 1 < m; ++r) {
                    wn1(r, jy) = wn1(r + 1, jy + 1);
                    wn1(m + r, m + jy) = wn1(m + r + 1, m + jy + 1);
                }
                for (std::size_t r = 0; r + 1 < m; ++r) wn1(m + r, jy) = wn1(m + r + 1, jy + 1);
            }
        }
        // The newest pair's row and column, computed afresh over the current sets.
        const std::size_t iy = col - 1;
        const std::size_t ip = slot(iy);
        for (std::size_t jy = 0; jy < col; ++jy) {
            const std::size_t jp = slot(jy);
            wn1(iy, jy) = sum_over(free_vars, y_of(ip), y_of(jp));
            wn1(m + iy, m + jy) = sum_over(active_vars, s_of(ip), s_of(jp));
            wn1(m + iy, jy) = sum_over(active_vars, s_of(ip), y_of(jp));
        }
        const std::size_t jp = slot(col - 1);
        for (std::size_t i = 0; i < col; ++i) wn1(m + i, col - 1) = sum_over(free_vars, s_of(slot(i)), y_of(jp));
        upcl = col - 1;
    }

    // The older pairs: only the variables that entered or left the free set change.
    for (std::size_t iy = 0; iy < upcl; ++iy) {
        const std::size_t ip = slot(iy);
        for (std::size_t jy = 0; jy <= iy; ++jy) {
            const std::size_t jp = slot(jy);
            const double temp1 = sum_over(entering, y_of(ip), y_of(jp));
            const double temp2 = sum_over(entering, s_of(ip), s_of(jp));
            const double temp3 = sum_over(leaving, y_of(ip), y_of(jp));
            const double temp4 = sum_over(leaving, s_of(ip), s_of(jp));
            wn1(iy, jy) = wn1(iy, jy) + (temp1 - temp3);
            wn1(m + iy, m + jy) = wn1(m + iy, m + jy) + (temp4 - temp2);
        }
    }
    for (std::size_t i = 0; i < upcl; ++i) {
        const std::size_t ip = slot(i);
        for (std::size_t jy = 0; jy < upcl; ++jy) {
            const std::size_t jp = slot(jy);
            const double temp1 = sum_over(entering, s_of(ip), y_of(jp));
            const double temp3 = sum_over(leaving, s_of(ip), y_of(jp));
            // Upper part (i <= jy) counts the free set, the strict lower part the active set.
            const double change_in = i <= jy ? temp1 - temp3 : temp3 - temp1;
            wn1(m + i, jy) = wn1(m + i, jy) + change_in;
        }
    }
}

bool ExactCompactState::formk(const FreeSetChange& change) {
    update_inner_products(change);

    // Upper triangle of K = [[Y'ZZ'Y/theta + D, -L_a' + R_z'], [., theta S'AA'S]].
    for (std::size_t iy = 0; iy < col; ++iy) {
        for (std::size_t jy = 0; jy <= iy; ++jy) {
            wn(jy, iy) = wn1(iy, jy) / theta;
            wn(col + jy, col + iy) = wn1(m + iy, m + jy) * theta;
        }
        for (std::size_t jy = 0; jy < iy; ++jy) wn(jy, col + iy) = -wn1(m + iy, jy);
        for (std::size_t jy = iy; jy < col; ++jy) wn(jy, col + iy) = wn1(m + iy, jy);
        wn(iy, iy) = sy(iy, iy) + wn(iy, iy);
    }

    // Block factor [[R11, R11^-T (-L_a' + R_z')], [0, R22]].
    if (!coherent_cholesky_upper_in_place(wn, 0, col)) return false;
    std::vector<double> b(col);
    for (std::size_t js = col; js < 2 * col; ++js) {
        for (std::size_t i = 0; i < col; ++i) b[i] = wn(i, js);
        if (!coherent_solve_upper_transpose_in_place(wn, col, b)) return false;
        for (std::size_t i = 0; i < col; ++i) wn(i, js) = b[i];
    }
    for (std::size_t is = col; is < 2 * col; ++is) {
        for (std::size_t js = is; js < 2 * col; ++js) {
            const double dot =
                compact_dot(col, [&](std::size_t i) { return wn(i, is); }, [&](std::size_t i) { return wn(i, js); });
            wn(is, js) = dot + wn(is, js);
        }
    }
    return coherent_cholesky_upper_in_place(wn, col, col);
}

namespace {

// r <- the Newton step of the compact model over the free variables, from the
// reduced gradient r, through the block factor of K in state.wn.
bool newton_step(const ExactCompactState& state, std::size_t nfree, std::span<double> r) {
    const std::size_t col = state.col;
    const double theta = state.theta;
    std::vector<double> wv(2 * col, 0.0);
    for (std::size_t i = 0; i < col; ++i) {
        const std::size_t s = state.slot(i);
        double along_y = 0.0;
        double along_s = 0.0;
        for (std::size_t j = 0; j < nfree; ++j) {
            const std::size_t k = state.index[j];
            const double py = r[j] * state.wy(s, k);
            along_y = along_y + py;
            const double ps = r[j] * state.ws(s, k);
            along_s = along_s + ps;
        }
        wv[i] = along_y;
        wv[col + i] = theta * along_s;
    }
    if (!coherent_solve_upper_transpose_in_place(state.wn, 2 * col, wv)) return false;
    for (std::size_t i = 0; i < col; ++i) wv[i] = -wv[i];
    if (!coherent_solve_upper_in_place(state.wn, 2 * col, wv)) return false;
    for (std::size_t jy = 0; jy < col; ++jy) {
        const std::size_t s = state.slot(jy);
        for (std::size_t i = 0; i < nfree; ++i) {
            const std::size_t k = state.index[i];
            const double product_y = state.wy(s, k) * wv[jy];
            const double product_s = state.ws(s, k) * wv[col + jy];
            r[i] = r[i] + (product_y / theta + product_s);
        }
    }
    for (std::size_t i = 0; i < nfree; ++i) r[i] = r[i] / theta;
    return true;
}

// The longest common fraction alpha <= 1 of the step r from xcp that stays in
// the box, and the free position that limits it. temp1 carries over between
// positions: a position that sets nothing leaves a value never below alpha.
std::pair<double, std::optional<std::size_t>> box_fraction(const ExactCompactState& state,
                                                           std::span<const double> lower,
                                                           std::span<const double> upper, std::size_t nfree,
                                                           std::span<const double> r, std::span<const double> xcp) {
    double alpha = 1.0;
    double temp1 = 1.0;
    std::optional<std::size_t> ibd;
    for (std::size_t i = 0; i < nfree; ++i) {
        const std::size_t k = state.index[i];
        const double dk = r[i];
        const bool has_lower = std::isfinite(lower[k]);
        const bool has_upper = std::isfinite(upper[k]);
        if (!has_lower && !has_upper) continue;
        if (dk < 0.0 && has_lower) {
            const double temp2 = lower[k] - xcp[k];
            if (temp2 >= 0.0)
                temp1 = 0.0;
            else if (alpha * dk < temp2)
                temp1 = temp2 / dk;
        } else if (dk > 0.0 && has_upper) {
            const double temp2 = upper[k] - xcp[k];
            if (temp2 <= 0.0)
                temp1 = 0.0;
            else if (alpha * dk > temp2)
                temp1 = temp2 / dk;
        }
        if (temp1 < alpha) {
            alpha = temp1;
            ibd = i;
        }
    }
    return {alpha, ibd};
}

}  // namespace

bool subspace_step(const ExactCompactState& state, std::span<const double> lower, std::span<const double> upper,
                   std::size_t nfree, std::span<double> r, std::span<double> xcp) {
    if (!newton_step(state, nfree, r)) return false;
    const auto [alpha, ibd] = box_fraction(state, lower, upper, nfree, r, xcp);
    if (alpha < 1.0 && ibd) {
        // The limiting variable lands exactly on its bound.
        const std::size_t k = state.index[*ibd];
        if (r[*ibd] > 0.0) {
            xcp[k] = upper[k];
            r[*ibd] = 0.0;
        } else if (r[*ibd] < 0.0) {
            xcp[k] = lower[k];
            r[*ibd] = 0.0;
        }
    }
    for (std::size_t i = 0; i < nfree; ++i) {
        const std::size_t k = state.index[i];
        const double move = alpha * r[i];
        xcp[k] = xcp[k] + move;
    }
    return true;
}

}  // namespace compat_lbfgsb::backend::native::compact

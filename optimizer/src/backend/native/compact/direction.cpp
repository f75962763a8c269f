#include "backend/native/compact/direction.hpp"

#include <cmath>

#include "backend/native/compact/subspace.hpp"
#include "backend/native/kernels.hpp"

namespace compat_lbfgsb::backend::native::compact {
namespace {

// The breakpoints not yet passed, in t[0, nleft) and iorder[0, nleft), kept as
// a binary min-heap in 1-based places; t and iorder always move together.
struct Breakpoints {
    std::vector<double> t;
    std::vector<std::size_t> iorder;

    double& time(std::size_t place) { return t[place - 1]; }
    std::size_t& var(std::size_t place) { return iorder[place - 1]; }

    void build_heap(std::size_t count) {
        for (std::size_t k = 2; k <= count; ++k) {
            const double value = time(k);
            const std::size_t which = var(k);
            std::size_t i = k;
            while (i > 1 && value < time(i / 2)) {
                time(i) = time(i / 2);
                var(i) = var(i / 2);
                i /= 2;
            }
            time(i) = value;
            var(i) = which;
        }
    }

    // Moves the smallest of the first `count` entries to place `count` and
    // restores the heap over the first count - 1.
    void pop_to_back(std::size_t count) {
        if (count <= 1) return;
        const double root_time = time(1);
        const std::size_t root_var = var(1);
        const double value = time(count);
        const std::size_t which = var(count);
        const std::size_t size = count - 1;
        std::size_t i = 1;
        for (;;) {
            std::size_t j = 2 * i;
            if (j > size) break;
            if (j + 1 <= size && time(j + 1) < time(j)) ++j;
            if (!(time(j) < value)) break;
            time(i) = time(j);
            var(i) = var(j);
            i = j;
        }
        time(i) = value;
        var(i) = which;
        time(count) = root_time;
        var(count) = root_var;
    }
};

// The bound status of a variable at x with gradient component gi.
std::int32_t cauchy_status(double xi, double gi, double lower, double upper) {
    const bool at_lower = xi - lower <= 0.0;
    const bool at_upper = std::isfinite(upper) && upper <= xi;
    if (at_lower && gi >= 0.0) return AT_LOWER;
    if (at_upper && !at_lower && gi <= 0.0) return AT_UPPER;
    if (!at_lower && !at_upper && gi == 0.0) return ZERO_GRADIENT;
    return FREE;
}

// a <- a + s b, each entry one fused multiply-add.
void add_scaled(std::span<double> a, double s, std::span<const double> b) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::fma(s, b[i], a[i]);
}

// The working data of one Cauchy search: the path direction d, p = W'd, the
// breakpoints, and the model's slope f1 and curvature f2 along the current
// segment.
struct CauchySearch {
    ExactCompactState& state;
    std::span<const double> x, g, lower, upper;
    std::vector<double> d, p, wbp, v;
    Breakpoints heap;
    std::size_t nbreak = 0;
    std::size_t nunbounded = 0;
    std::size_t ibkmin = 0;
    double bkmin = 0.0;
    bool bnded = true;
    double f1 = 0.0;
    double f2 = 0.0;
    double f2_org = 0.0;

    // Rewrites the bound status of each variable and, over the free ones,
    // gathers d = -g, f1 = -g'g, p = W'd and the breakpoints.
    void gather() {
        const std::size_t n = state.n, col = state.col;
        for (std::size_t i = 0; i < n; ++i) {
            std::int32_t& status = state.iwhere[i];
            if (status != ALWAYS_FREE && status != ALWAYS_FIXED)
                status = cauchy_status(x[i], g[i], lower[i], upper[i]);
            if (status != FREE && status != ALWAYS_FREE) {
                d[i] = 0.0;
                continue;
            }
            const double gi = g[i];
            d[i] = -gi;
            const double square = gi * gi;
            f1 = f1 - square;
            for (std::size_t j = 0; j < col; ++j) {
                const std::size_t s = state.slot(j);
                const double py = gi * state.wy(s, i);
                p[j] = p[j] - py;
                const double ps = gi * state.ws(s, i);
                p[col + j] = p[col + j] - ps;
            }
            add_breakpoint(i, gi);
        }
        if (col > 0 && state.theta != 1.0)
            for (std::size_t j = col; j < 2 * col; ++j) p[j] = state.theta * p[j];
    }

    void add_breakpoint(std::size_t i, double gi) {
        std::optional<double> t;
        if (gi > 0.0 && std::isfinite(lower[i]))
            t = (x[i] - lower[i]) / gi;
        else if (gi < 0.0 && std::isfinite(upper[i]))
            t = (upper[i] - x[i]) / -gi;
        if (!t) {
            // A free variable without a breakpoint: kept at the back of iorder.
            ++nunbounded;
            heap.iorder[state.n - nunbounded] = i;
            if (gi != 0.0 && !std::isnan(gi)) bnded = false;
            return;
        }
        heap.t[nbreak] = *t;
        heap.iorder[nbreak] = i;
        if (nbreak == 0 || *t < bkmin) {
            ibkmin = nbreak;
            bkmin = *t;
        }
        ++nbreak;
    }

    // The breakpoint of the given pass, with nleft breakpoints not yet passed.
    std::size_t next_breakpoint(std::size_t pass, std::size_t nleft, double& tj) {
        if (pass == 1) {
            tj = bkmin;
            return heap.iorder[ibkmin];
        }
        if (pass == 2) {
            // The breakpoint used first leaves; the last one takes its place.
            if (ibkmin != nbreak - 1) {
                heap.t[ibkmin] = heap.t[nbreak - 1];
                heap.iorder[ibkmin] = heap.iorder[nbreak - 1];
            }
            heap.build_heap(nleft);
        }
        heap.pop_to_back(nleft);
        tj = heap.t[nleft - 1];
        return heap.iorder[nleft - 1];
    }

    // Slope and curvature of the model on the next segment, once variable
    // ibp (moving by dibp, zibp away from its bound) has been fixed after a
    // segment of length dt. False when a product with M fails.
    bool pass_breakpoint(std::size_t ibp, double dibp, double zibp, double dt, std::vector<double>& c) {
        const std::size_t col = state.col;
        const double theta = state.theta;
        const double dibp2 = dibp * dibp;
        const double f2_dt = f2 * dt;
        const double a = f2_dt + dibp2;
        const double shrink = theta * dibp2;
        if (col == 0) {
            const double dz = dibp * zibp;
            f1 = f1 + (a - dz);
            f2 = f2 - shrink;
            return true;
        }
        const double dz = (theta * dibp) * zibp;
        f1 = f1 + (a - dz);
        const double f2_partial = f2 - shrink;
        add_scaled(c, dt, p);
        for (std::size_t j = 0; j < col; ++j) {
            const std::size_t s = state.slot(j);
            wbp[j] = state.wy(s, ibp);
            wbp[col + j] = theta * state.ws(s, ibp);
        }
        if (!state.bmv_into(wbp, v)) return false;
        const double wmc = compatibility_dot(true, c, v);
        const double wmp = compatibility_dot(true, p, v);
        const double wmw = compatibility_dot(true, wbp, v);
        for (std::size_t j = 0; j < 2 * col; ++j) p[j] = std::fma(-wbp[j], dibp, p[j]);
        const double f1_change = dibp * wmc;
        f1 = f1 + f1_change;
        const double cross = (dibp + dibp) * wmp;
        const double own = dibp2 * wmw;
        f2 = f2_partial + (cross - own);
        return true;
    }
};

}  // namespace

std::optional<CompactCauchyPoint> cauchy_point(ExactCompactState& state, std::span<const double> x,
                                               std::span<const double> g, std::span<const double> lower,
                                               std::span<const double> upper, double projected_gradient_norm) {
    const std::size_t n = state.n;
    const std::size_t col = state.col;
    CompactCauchyPoint out{std::vector<double>(x.begin(), x.begin() + n), std::vector<double>(2 * col, 0.0)};
    if (projected_gradient_norm <= 0.0) return out;

    CauchySearch search{state, x, g, lower, upper,
                        std::vector<double>(n, 0.0), std::vector<double>(2 * col, 0.0),
                        std::vector<double>(2 * col, 0.0), std::vector<double>(2 * col, 0.0),
                        Breakpoints{std::vector<double>(n, 0.0), std::vector<std::size_t>(n, 0)}};
    search.gather();
    if (search.nbreak == 0 && search.nunbounded == 0) return out;  // d is zero: the Cauchy point is x

    std::vector<double>& xcp = out.xcp;
    std::vector<double>& c = out.c;
    std::vector<double>& d = search.d;
    double& f1 = search.f1;
    double& f2 = search.f2;
    f2 = -state.theta * f1;
    search.f2_org = f2;
    if (col > 0) {
        if (!state.bmv_into(search.p, search.v)) return std::nullopt;
        f2 = f2 - compatibility_dot(true, search.v, search.p);
    }
    double dtm = f2 == 0.0 ? 0.0 : -f1 / f2;
    double tsum = 0.0;
    double tj = 0.0;

    const std::size_t nbreak = search.nbreak;
    std::size_t nleft = nbreak;
    for (std::size_t pass = 1; nleft > 0; ++pass) {
        const double tj0 = tj;
        const std::size_t ibp = search.next_breakpoint(pass, nleft, tj);
        const double dt = tj - tj0;
        if (dtm < dt) break;  // the minimiser lies in this segment

        tsum = tsum + dt;
        --nleft;
        const double dibp = d[ibp];
        d[ibp] = 0.0;
        const bool to_upper = dibp > 0.0;
        const double bound = to_upper ? upper[ibp] : lower[ibp];
        const double zibp = bound - x[ibp];
        xcp[ibp] = bound;
        state.iwhere[ibp] = to_upper ? AT_UPPER : AT_LOWER;
        if (nleft == 0 && nbreak == n) {
            // Every variable is fixed: xcp no longer moves.
            dtm = dt;
            break;
        }
        if (!search.pass_breakpoint(ibp, dibp, zibp, dt, c)) return std::nullopt;
        // Keeps the model's curvature along the path from collapsing.
        f2 = std::fmax(f2, EPSMCH * search.f2_org);
        dtm = nleft == 0 && search.bnded ? 0.0 : -f1 / f2;
    }

    if (dtm <= 0.0) dtm = 0.0;
    tsum = tsum + dtm;
    add_scaled(xcp, tsum, d);
    if (col > 0) add_scaled(c, dtm, search.p);
    return out;
}

FreeSetChange free_variables(ExactCompactState& state) {
    const std::size_t n = state.n;
    FreeSetChange change{0, 0, n, false};
    if (state.iter > 0) {
        for (std::size_t i = 0; i < state.nfree; ++i) {
            const std::size_t k = state.index[i];
            if (state.iwhere[k] > 0) state.indx2[--change.ileave] = k;
        }
        for (std::size_t i = state.nfree; i < n; ++i) {
            const std::size_t k = state.index[i];
            if (state.iwhere[k] <= 0) state.indx2[change.nenter++] = k;
        }
    }
    change.wrk = change.ileave < n || change.nenter > 0 || state.updatd;
    std::size_t active = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (state.iwhere[i] <= 0)
            state.index[change.nfree++] = i;
        else
            state.index[--active] = i;
    }
    return change;
}

std::optional<DirectionChoice> ExactCompactState::direction(std::span<const double> x, std::span<const double> g,
                                                            std::span<const double> lower,
                                                            std::span<const double> upper,
                                                            double projected_gradient_norm, double tolerance) {
    auto cauchy = cauchy_point(*this, x, g, lower, upper, projected_gradient_norm);
    if (!cauchy) return std::nullopt;
    const FreeSetChange change = free_variables(*this);
    auto r = reduced_gradient(*this, x, g, cauchy->xcp, cauchy->c, change.nfree);
    if (!r) return std::nullopt;
    std::vector<double>& xbar = cauchy->xcp;
    if (change.nfree > 0 && col > 0) {
        if (change.wrk && !formk(change)) {
            clear_history();
            return std::nullopt;
        }
        if (!subspace_step(*this, lower, upper, change.nfree, *r, xbar)) return std::nullopt;
    }
    nfree = change.nfree;
    ++iter;

    std::vector<double> d(n);
    double size = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = xbar[i] - x[i];
        size = std::fmax(size, std::fabs(d[i]));
    }
    if (size <= tolerance) return std::nullopt;
    return DirectionChoice{std::move(d), std::move(xbar)};
}

}  // namespace compat_lbfgsb::backend::native::compact

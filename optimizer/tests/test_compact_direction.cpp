#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/native/compact/direction.hpp"
#include "backend/native/compact/state.hpp"
#include "dense_reference.hpp"

using namespace compat_lbfgsb::backend::native::compact;
using namespace dense_reference;

namespace {

Vec times(const Mat& a, const Vec& v) {
    Vec r(v.size(), 0.0);
    for (std::size_t i = 0; i < v.size(); ++i) r[i] = dot(a[i], v);
    return r;
}

// The quasi-Newton matrix of the pairs by the BFGS recursion from theta I,
// theta = y'y / s'y of the newest pair.
Mat bfgs_matrix(const std::vector<Pair>& pairs, std::size_t n) {
    const double theta = pairs.empty() ? 1.0 : dot(pairs.back().y, pairs.back().y) / dot(pairs.back().s, pairs.back().y);
    Mat b(n, Vec(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) b[i][i] = theta;
    for (const Pair& p : pairs) {
        const Vec bs = times(b, p.s);
        const double sbs = dot(p.s, bs), ys = dot(p.y, p.s);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) b[i][j] += -bs[i] * bs[j] / sbs + p.y[i] * p.y[j] / ys;
    }
    return b;
}

struct Expected { Vec xcp, xbar; std::size_t fixed = 0; bool truncated = false; };

// First minimiser of the model along the projected gradient path, walking the
// sorted breakpoints, then the box-truncated Newton step over the free variables.
Expected model_minimiser(const Mat& b, bool subspace, const Vec& x, const Vec& g, const Vec& lo, const Vec& hi) {
    const std::size_t n = x.size();
    Vec tb(n, kInf);
    for (std::size_t i = 0; i < n; ++i) {
        if (g[i] > 0) tb[i] = (x[i] - lo[i]) / g[i];
        if (g[i] < 0) tb[i] = (hi[i] - x[i]) / -g[i];
    }
    double ta = 0.0, tc = 0.0;
    Vec z(n, 0.0);
    for (;;) {
        Vec d(n, 0.0);
        double next = kInf;
        for (std::size_t i = 0; i < n; ++i) {
            if (tb[i] > ta) d[i] = -g[i], next = std::min(next, tb[i]);
        }
        const Vec bd = times(b, d);
        const double fp = dot(g, d) + dot(z, bd), fpp = dot(d, bd);
        if (fp >= 0 || fpp <= 0) { tc = ta; break; }
        const double delta = -fp / fpp;
        if (ta + delta < next) { tc = ta + delta; break; }
        for (std::size_t i = 0; i < n; ++i) z[i] += (next - ta) * d[i];
        ta = next;
    }
    Expected e;
    e.xcp.resize(n);
    std::vector<std::size_t> free;
    for (std::size_t i = 0; i < n; ++i) {
        e.xcp[i] = std::clamp(x[i] - tc * g[i], lo[i], hi[i]);
        if (tb[i] <= tc) ++e.fixed; else free.push_back(i);
    }
    e.xbar = e.xcp;
    if (!subspace || free.empty()) return e;
    Vec step(n);
    for (std::size_t i = 0; i < n; ++i) step[i] = e.xcp[i] - x[i];
    const Vec grad = times(b, step);
    Mat zbz(free.size(), Vec(free.size()));
    Vec rhs(free.size());
    for (std::size_t a = 0; a < free.size(); ++a) {
        rhs[a] = -(g[free[a]] + grad[free[a]]);
        for (std::size_t c = 0; c < free.size(); ++c) zbz[a][c] = b[free[a]][free[c]];
    }
    const Vec du = gauss_solve(zbz, rhs);
    double alpha = 1.0;
    for (std::size_t a = 0; a < free.size(); ++a) {
        const std::size_t i = free[a];
        if (du[a] < 0) alpha = std::min(alpha, (lo[i] - e.xcp[i]) / du[a]);
        if (du[a] > 0) alpha = std::min(alpha, (hi[i] - e.xcp[i]) / du[a]);
    }
    e.truncated = alpha < 1.0;
    for (std::size_t a = 0; a < free.size(); ++a) e.xbar[free[a]] += alpha * du[a];
    return e;
}

void expect_close(const Vec& got, const Vec& want, double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "entry " << i;
}

}  // namespace

struct Trajectory { std::size_t n, m, steps; double gscale; unsigned seed; std::size_t fixed_total, truncated_total; };
class CompactDirection : public ::testing::TestWithParam<Trajectory> {};

// A sequence of directions with pairs stored in between (some skipped), so
// that the free set changes, the memory wraps and the reduced matrix is kept
// up to date incrementally; every direction must match the dense model.
TEST_P(CompactDirection, MatchesDenseCauchyPointAndSubspaceMinimiser) {
    const Trajectory tr = GetParam();
    const std::size_t n = tr.n;
    std::mt19937_64 rng(tr.seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit(0.05, 0.95);
    Vec lo(n), hi(n);
    for (std::size_t i = 0; i < n; ++i) lo[i] = -1.0 - 0.1 * i, hi[i] = 1.0 + 0.2 * i;
    Mat a(n, Vec(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) a[i][j] = a[j][i] = i == j ? 2.0 + i : 0.4 * normal(rng);

    ExactCompactState state(n, tr.m, lo, hi);
    std::vector<Pair> pairs;
    std::size_t fixed_total = 0, truncated_total = 0;
    for (std::size_t step = 0; step < tr.steps; ++step) {
        Vec x(n), g(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = lo[i] + unit(rng) * (hi[i] - lo[i]), g[i] = tr.gscale * normal(rng);
        const std::vector<Pair> kept(pairs.end() - std::min(pairs.size(), tr.m), pairs.end());
        const Expected want = model_minimiser(bfgs_matrix(kept, n), !kept.empty(), x, g, lo, hi);
        ASSERT_LT(want.fixed, n) << "step " << step;
        const auto got = state.direction(x, g, lo, hi, 1.0, 1e-16);
        ASSERT_TRUE(got.has_value()) << "step " << step;
        ASSERT_TRUE(got->full_step_point.has_value());
        expect_close(*got->full_step_point, want.xbar, 1e-9);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(got->direction[i], (*got->full_step_point)[i] - x[i]);
        EXPECT_EQ(state.nfree, n - want.fixed);
        EXPECT_EQ(state.iter, step + 1);
        fixed_total += want.fixed;
        truncated_total += want.truncated;

        // Every third pair fails the curvature test and is skipped.
        Vec d(n), y(n);
        for (std::size_t i = 0; i < n; ++i) d[i] = 0.5 * normal(rng);
        y = times(a, d);
        const bool skip = step % 3 == 2;
        ASSERT_TRUE(state.update(d, y, 1.0, -1.0, skip ? -2.0 : -1.0 + dot(d, y)));
        if (!skip) pairs.push_back({d, y});
    }
    // Pins the coverage of the table: bounds were met both on the Cauchy path
    // and by the subspace step.
    EXPECT_EQ(fixed_total, tr.fixed_total);
    EXPECT_EQ(truncated_total, tr.truncated_total);
}

INSTANTIATE_TEST_SUITE_P(Boxes, CompactDirection,
                         ::testing::Values(Trajectory{5, 3, 8, 1.0, 3, 2, 1}, Trajectory{6, 2, 10, 4.0, 5, 15, 0},
                                           Trajectory{8, 4, 12, 10.0, 7, 54, 2}, Trajectory{3, 1, 6, 3.0, 9, 9, 0}),
                         [](const ::testing::TestParamInfo<Trajectory>& info) {
                           const Trajectory& t = info.param;
                           return "n" + std::to_string(t.n) + "_m" + std::to_string(t.m) + "_steps" +
                                  std::to_string(t.steps) + "_seed" + std::to_string(t.seed);
                         });

TEST(CompactDirectionEdges, NoPairsTakesTheScaledSteepestDescentStep) {
    const Vec lo(3, -10.0), hi(3, 10.0), x{0.5, -0.25, 1.0}, g{0.5, 1.0, -2.0};
    ExactCompactState state(3, 2, lo, hi);
    const auto got = state.direction(x, g, lo, hi, 2.0, 1e-16);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->direction, (Vec{-0.5, -1.0, 2.0}));
    EXPECT_EQ(*got->full_step_point, (Vec{0.0, -1.25, 3.0}));
    EXPECT_EQ(state.iwhere, (std::vector<std::int32_t>{0, 0, 0}));
}

TEST(CompactDirectionEdges, EveryBreakpointPassedFixesEveryVariable) {
    const Vec lo(2, 0.0), hi(2, 1.0), x{0.5, 0.5}, g{-10.0, -20.0};
    ExactCompactState state(2, 2, lo, hi);
    const auto got = state.direction(x, g, lo, hi, 20.0, 1e-16);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->direction, (Vec{0.5, 0.5}));
    EXPECT_EQ(state.iwhere, (std::vector<std::int32_t>{2, 2}));
    EXPECT_EQ(state.nfree, 0u);
}

TEST(CompactDirectionEdges, AbsentWhenNothingMoves) {
    const Vec lo(3, 0.0), hi(3, 1.0);
    // Each variable on a bound with its gradient pushing outward.
    ExactCompactState state(3, 2, lo, hi);
    EXPECT_FALSE(state.direction(Vec{0.0, 1.0, 0.0}, Vec{1.0, -1.0, 0.0}, lo, hi, 1.0, 0.0).has_value());
    EXPECT_EQ(state.iwhere, (std::vector<std::int32_t>{1, 2, 1}));
    EXPECT_EQ(state.iter, 1u);
    EXPECT_EQ(state.nfree, 0u);

    // A zero projected gradient: x is the Cauchy point and the codes stay.
    ExactCompactState flat(3, 2, lo, hi);
    flat.iwhere[2] = AT_UPPER;
    EXPECT_FALSE(flat.direction(Vec{0.5, 0.5, 1.0}, Vec{0.0, 0.0, -1.0}, lo, hi, 0.0, 1e-16).has_value());
    EXPECT_EQ(flat.iwhere, (std::vector<std::int32_t>{0, 0, 2}));
    EXPECT_EQ(flat.nfree, 2u);
    EXPECT_EQ(flat.index, (std::vector<std::size_t>{0, 1, 2}));
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/native/compact/state.hpp"
#include "dense_reference.hpp"

using namespace compat_lbfgsb::backend::native::compact;
using namespace dense_reference;

namespace {

// Feeds `count` curvature pairs of the quadratic with Hessian A into the
// state and returns all of them, oldest first.
std::vector<Pair> feed(ExactCompactState& state, std::size_t count, unsigned seed) {
    const std::size_t n = state.n;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<Vec> a(n, Vec(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) a[i][j] = a[j][i] = i == j ? 4.0 + i : 0.3 * normal(rng);
    std::vector<Pair> pairs;
    const double steps[] = {1.0, 0.5, 2.0};
    for (std::size_t t = 0; t < count; ++t) {
        Vec d(n), g_old(n), s(n), y(n, 0.0), g_new(n);
        for (std::size_t i = 0; i < n; ++i) d[i] = normal(rng), g_old[i] = normal(rng);
        const double stp = steps[t % 3];
        for (std::size_t i = 0; i < n; ++i) s[i] = stp * d[i];
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) y[i] += a[i][j] * s[j];
        for (std::size_t i = 0; i < n; ++i) g_new[i] = g_old[i] + y[i];
        EXPECT_TRUE(state.update(d, y, stp, dot(g_old, d), dot(g_new, d)));
        EXPECT_TRUE(state.updatd);
        pairs.push_back({s, y});
    }
    return pairs;
}

}  // namespace

TEST(ExactCompactState, StatusFromBounds) {
    const Vec lower{-kInf, 1.0, 0.0, -kInf, 2.0};
    const Vec upper{kInf, 1.0, kInf, 5.0, 1.0};
    const ExactCompactState state(5, 3, lower, upper);
    EXPECT_EQ(state.iwhere, (std::vector<std::int32_t>{-1, 3, 0, 0, 3}));
    EXPECT_EQ(state.index, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(state.col, 0u);
    EXPECT_EQ(state.theta, 1.0);
}

struct FillCase { std::size_t m, count, head, itail; };
class CompactMemory : public ::testing::TestWithParam<FillCase> {};

// After any number of pairs the stored matrices describe the last m pairs,
// and bmv solves with [[-D, L'], [L, theta S'S]].
TEST_P(CompactMemory, MatricesAndMiddleProductMatchDenseAlgebra) {
    const FillCase fc = GetParam();
    const std::size_t n = 5;
    const Vec lower(n, -1.0), upper(n, 1.0);
    ExactCompactState state(n, fc.m, lower, upper);
    const auto all = feed(state, fc.count, 11 + fc.count);
    const std::size_t col = std::min(fc.m, fc.count);
    ASSERT_EQ(state.col, col);
    EXPECT_EQ(state.head, fc.head);
    EXPECT_EQ(state.itail, fc.itail);
    EXPECT_EQ(state.iupdat, fc.count);
    const std::vector<Pair> kept(all.end() - col, all.end());

    const double theta = dot(kept.back().y, kept.back().y) / dot(kept.back().s, kept.back().y);
    EXPECT_NEAR(state.theta, theta, 1e-12 * theta);
    for (std::size_t i = 0; i < col; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const double sy = dot(kept[i].s, kept[j].y), ss = dot(kept[j].s, kept[i].s);
            EXPECT_NEAR(state.sy(i, j), sy, 1e-12 * std::fabs(sy) + 1e-14) << i << "," << j;
            EXPECT_NEAR(state.ss(j, i), ss, 1e-12 * std::fabs(ss) + 1e-14) << j << "," << i;
        }
        EXPECT_EQ(state.ws(state.slot(i), 0), kept[i].s[0]);
    }

    std::vector<Vec> k(2 * col, Vec(2 * col, 0.0));
    for (std::size_t i = 0; i < col; ++i)
        for (std::size_t j = 0; j < col; ++j) {
            const double sy = dot(kept[i].s, kept[j].y);
            if (i == j) k[i][i] = -sy;
            if (i > j) k[col + i][j] = k[j][col + i] = sy;  // L and L'
            k[col + i][col + j] = theta * dot(kept[i].s, kept[j].s);
        }
    Vec v(2 * col);
    for (std::size_t i = 0; i < 2 * col; ++i) v[i] = std::sin(0.7 * i + 0.3);
    const auto got = state.bmv(v);
    ASSERT_TRUE(got.has_value());
    const Vec want = gauss_solve(k, v);
    for (std::size_t i = 0; i < 2 * col; ++i) EXPECT_NEAR((*got)[i], want[i], 1e-10 * std::fabs(want[i]) + 1e-13);
}

INSTANTIATE_TEST_SUITE_P(Fills, CompactMemory,
                         ::testing::Values(FillCase{3, 2, 0, 1}, FillCase{3, 3, 0, 2}, FillCase{3, 4, 1, 0},
                                           FillCase{3, 6, 0, 2}, FillCase{1, 1, 0, 0}, FillCase{1, 3, 0, 0},
                                           FillCase{4, 7, 3, 2}),
                         [](const ::testing::TestParamInfo<FillCase>& info) {
                           return "m" + std::to_string(info.param.m) + "_pairs" + std::to_string(info.param.count);
                         });

TEST(ExactCompactState, UnitAndScaledSteps) {
    const Vec lower(4, -1.0), upper(4, 1.0);
    const Vec d{0.1, -0.3, 0.7, 0.2}, y{0.3, -0.1, 0.9, 0.05};
    ExactCompactState state(4, 2, lower, upper);
    ASSERT_TRUE(state.update(d, y, 1.0, -1.0, 0.25));
    EXPECT_EQ(state.sy(0, 0), 1.25);
    EXPECT_EQ(state.ss(0, 0), 0.1 * 0.1 + 0.3 * 0.3 + 0.7 * 0.7 + 0.2 * 0.2);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(state.ws(0, i), d[i]);
    ASSERT_TRUE(state.update(d, y, 0.5, -1.0, 0.25));
    EXPECT_EQ(state.sy(1, 1), 0.5 * 1.25);
    EXPECT_EQ(state.ss(1, 1), 0.25 * state.ss(0, 0));
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(state.ws(1, i), 0.5 * d[i]);
}

TEST(ExactCompactState, CurvatureSkipAndFailures) {
    const Vec lower(3, 0.0), upper(3, 2.0);
    const Vec d{1.0, 0.5, -0.25}, y{0.5, 0.25, 0.125};
    ExactCompactState state(3, 2, lower, upper);
    ASSERT_TRUE(state.update(d, y, 1.0, -1.0, 1.0));
    const double theta = state.theta;

    // dr equal to -2^-52 * gd_old is skipped; just above it would be stored.
    EXPECT_TRUE(state.update(d, y, 1.0, -1.0, -1.0 + 0x1p-52));
    EXPECT_FALSE(state.updatd);
    EXPECT_EQ(state.col, 1u);
    EXPECT_EQ(state.iupdat, 1u);
    EXPECT_EQ(state.theta, theta);

    // A NaN curvature is not skipped; it breaks the factor and empties the state.
    state.nfree = 2;
    state.iter = 5;
    state.iwhere[1] = 2;
    EXPECT_FALSE(state.update(d, y, 1.0, -1.0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(state.col, 0u);
    EXPECT_EQ(state.iupdat, 0u);
    EXPECT_EQ(state.theta, 1.0);
    EXPECT_FALSE(state.updatd);
    EXPECT_EQ(state.sy(0, 0), 0.0);
    EXPECT_EQ(state.nfree, 2u);
    EXPECT_EQ(state.iter, 5u);
    EXPECT_EQ(state.iwhere[1], 2);

    // An ascent direction with a tiny negative curvature passes the skip test
    // but gives a negative theta: T is not positive definite.
    EXPECT_FALSE(state.update(d, y, 1.0, 1.0, 1.0 - 0x1p-53));
    EXPECT_EQ(state.col, 0u);
}

TEST(ExactCompactState, MiddleProductLengths) {
    const Vec lower(2, 0.0), upper(2, 1.0);
    ExactCompactState state(2, 3, lower, upper);
    const auto empty = state.bmv(Vec{});
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(state.bmv(Vec{1.0, 2.0}).has_value());
    ASSERT_TRUE(state.update(Vec{1.0, 0.0}, Vec{2.0, 0.5}, 1.0, -1.0, 1.0));
    ASSERT_TRUE(state.update(Vec{0.0, 1.0}, Vec{0.5, 3.0}, 1.0, -1.0, 2.0));
    EXPECT_FALSE(state.bmv(Vec{1.0, 2.0, 3.0}).has_value());
    EXPECT_TRUE(state.bmv(Vec{1.0, 2.0, 3.0, 4.0}).has_value());
}

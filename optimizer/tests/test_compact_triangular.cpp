#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "backend/native/compact/triangular.hpp"

using namespace compat_lbfgsb::backend::native::compact;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

RowMatrix random_spd(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<double> b(n * n);
    for (double& v : b) v = normal(rng);
    RowMatrix a(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = i == j ? 0.5 : 0.0;
            for (std::size_t k = 0; k < n; ++k) s += b[i * n + k] * b[j * n + k];
            a(i, j) = s;
        }
    return a;
}

// Lower Cholesky factor by the textbook row recursion.
std::vector<std::vector<double>> lower_cholesky(const RowMatrix& a) {
    const std::size_t n = a.rows();
    std::vector<std::vector<double>> l(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double s = a(i, j);
            for (std::size_t k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
            l[i][j] = i == j ? std::sqrt(s) : s / l[j][j];
        }
    return l;
}

}  // namespace

class CholeskyAgainstTextbook : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CholeskyAgainstTextbook, FactorAndSolvesAgree) {
    const std::size_t n = GetParam();
    const RowMatrix a = random_spd(n, 17 + n);
    RowMatrix r = a;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) r(i, j) = kNaN;  // never read
    ASSERT_TRUE(coherent_cholesky_upper_in_place(r, 0, n));
    const auto l = lower_cholesky(a);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            if (j < i) {
                EXPECT_TRUE(std::isnan(r(i, j)));
            } else {
                EXPECT_NEAR(r(i, j), l[j][i], 1e-13 * std::fabs(l[j][i]));
            }
        }

    // R x = b and R' x = b: residuals through the textbook factor.
    std::vector<double> b(n), x(n), xt(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::cos(1.0 + i);
    x = b;
    xt = b;
    ASSERT_TRUE(coherent_solve_upper_in_place(r, n, x));
    ASSERT_TRUE(coherent_solve_upper_transpose_in_place(r, n, xt));
    for (std::size_t i = 0; i < n; ++i) {
        double rx = 0.0, rtx = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            rx += l[k][i] * x[k];   // (R x)_i = sum_k R[i][k] x_k = sum_k L[k][i] x_k
            rtx += l[i][k] * xt[k];  // (R' x)_i = sum_k L[i][k] x_k
        }
        EXPECT_NEAR(rx, b[i], 1e-12);
        EXPECT_NEAR(rtx, b[i], 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, CholeskyAgainstTextbook, ::testing::Values(4u, 6u));

TEST(CoherentCholesky, OneByOneCases) {
    struct Case { double a; bool ok; double r; };
    const Case cases[] = {{4.0, true, 2.0}, {1e-12, true, std::sqrt(1e-12)}, {0.0, false, 0},
                          {-0.0, false, 0}, {-1.0, false, 0}, {kNaN, false, 0},
                          {std::numeric_limits<double>::infinity(), false, 0}};
    for (const Case& c : cases) {
        RowMatrix m(1, 1);
        m(0, 0) = c.a;
        EXPECT_EQ(coherent_cholesky_upper_in_place(m, 0, 1), c.ok) << c.a;
        if (c.ok) {
            EXPECT_EQ(m(0, 0), c.r);
        }
    }
}

TEST(CoherentCholesky, OffsetBlockLeavesTheRestAlone) {
    RowMatrix m(4, 4);
    m.fill(7.0);
    m(2, 2) = 4.0;
    m(2, 3) = 2.0;
    m(3, 3) = 5.0;
    ASSERT_TRUE(coherent_cholesky_upper_in_place(m, 2, 2));
    EXPECT_EQ(m(2, 2), 2.0);
    EXPECT_EQ(m(2, 3), 1.0);
    EXPECT_EQ(m(3, 3), 2.0);
    EXPECT_EQ(m(3, 2), 7.0);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(m(i, j), 7.0);
    // A block that would run past the matrix is refused, not read.
    EXPECT_FALSE(coherent_cholesky_upper_in_place(m, 3, 2));
}

TEST(CoherentSolves, PivotsAndLengths) {
    RowMatrix r(2, 2);
    r(0, 0) = 1.0;
    r(0, 1) = 1.0;
    r(1, 1) = -0.0;
    std::vector<double> b{1.0, 1.0};
    EXPECT_FALSE(coherent_solve_upper_in_place(r, 2, b));
    b = {1.0, 1.0};
    EXPECT_FALSE(coherent_solve_upper_transpose_in_place(r, 2, b));

    r(1, 1) = -2.0;  // the sign of a pivot is not tested
    b = {1.0, 4.0};
    ASSERT_TRUE(coherent_solve_upper_in_place(r, 2, b));
    EXPECT_EQ(b, (std::vector<double>{3.0, -2.0}));
    b = {1.0, 4.0};
    ASSERT_TRUE(coherent_solve_upper_transpose_in_place(r, 2, b));
    EXPECT_EQ(b, (std::vector<double>{1.0, -1.5}));

    std::vector<double> wrong{1.0, 2.0, 3.0};
    EXPECT_FALSE(coherent_solve_upper_in_place(r, 2, wrong));
    EXPECT_FALSE(coherent_solve_upper_transpose_in_place(r, 2, wrong));
    EXPECT_EQ(wrong, (std::vector<double>{1.0, 2.0, 3.0}));

    std::vector<double> empty;
    EXPECT_TRUE(coherent_solve_upper_in_place(r, 0, empty));
    EXPECT_TRUE(coherent_solve_upper_transpose_in_place(r, 0, empty));
    RowMatrix untouched = r;
    EXPECT_TRUE(coherent_cholesky_upper_in_place(untouched, 0, 0));
    EXPECT_EQ(untouched(1, 1), -2.0);
}

// The last n mod 4 terms of each inner product are fused; the back
// substitution subtracts with one rounding.
TEST(CoherentSolves, RoundingOrder) {
    const double up = 1.0 + 0x1p-30, down = 1.0 - 0x1p-30;

    RowMatrix back(2, 2);
    back(0, 0) = back(1, 1) = 1.0;
    back(0, 1) = up;
    std::vector<double> b{1.0, down};
    ASSERT_TRUE(coherent_solve_upper_in_place(back, 2, b));
    EXPECT_EQ(b[0], 0x1p-60);  // 1 - up*down in one rounding

    for (const std::size_t n : {3u, 6u}) {
        RowMatrix r(n, n);
        for (std::size_t i = 0; i < n; ++i) r(i, i) = 1.0;
        const std::size_t last = n - 1;
        r(0, last) = -1.0;
        r(1, last) = up;
        std::vector<double> rhs(n, 0.0);
        rhs[0] = 1.0;
        rhs[1] = down;
        ASSERT_TRUE(coherent_solve_upper_transpose_in_place(r, n, rhs));
        // Three terms are all fused (-1 + up*down exactly); with six the
        // first four are rounded products (up*down rounds to 1).
        EXPECT_EQ(rhs[last], n == 3 ? 0x1p-60 : 0.0) << n;
    }
}

// Vector kernels: order of summation, fused tail, signed zeros, NaN handling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "backend/native/kernels.hpp"

namespace {

using namespace compat_lbfgsb::backend::native;
using V = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");
const double up = 1.0 + 0x1p-30;
const double down = 1.0 - 0x1p-30;

// Bit-for-bit equality, so that -0.0 differs from +0.0.
void expect_bits(double actual, double expected) {
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << actual << " vs " << expected;
}

struct DotCase {
  const char* label;
  V a, b;
  double plain, compact;
};

TEST(CompatibilityDot, SummationOrders) {
  const DotCase cases[] = {
      {"empty", {}, {}, -0.0, +0.0},
      {"zero times negative", {0.0}, {-1.0}, -0.0, +0.0},
      // Five entries: the fifth product is fused onto the rounded sum of four.
      {"fused fifth", {1, 0, 0, 0, up}, {-1, 0, 0, 0, down}, +0.0, -0x1p-60},
      // Four entries: nothing fused.
      {"four rounded", {1, 0, 0, up}, {-1, 0, 0, down}, +0.0, +0.0},
      // Three entries: every product fused onto +0.0.
      {"three fused", {1, 0, up}, {-1, 0, down}, +0.0, -0x1p-60},
      // One running sum in index order: 1 + 1e16 rounds away the 1.
      {"no reassociation", {1, 1e16, -1e16}, {1, 1, 1}, 0.0, 0.0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.label);
    expect_bits(compatibility_dot(false, tc.a, tc.b), tc.plain);
    expect_bits(compatibility_dot(true, tc.a, tc.b), tc.compact);
  }
}

TEST(CompatibilityDot, PlainOrderUsesShorterLength) {
  EXPECT_EQ(compatibility_dot(false, V{1, 2, 3}, V{4, 5}), 14.0);
  EXPECT_EQ(compatibility_dot(false, V{4, 5}, V{1, 2, 3}), 14.0);
  // The compact order runs over |a| only.
  EXPECT_EQ(compatibility_dot(true, V{4, 5}, V{1, 2, 3}), 14.0);
}

TEST(Norms, Values) {
  expect_bits(norm2(V{}), -0.0);
  EXPECT_EQ(norm2(V{3.0, 4.0}), 5.0);
  EXPECT_EQ(norm2(V{1e200}), inf);  // squares are not rescaled
  EXPECT_EQ(norm_inf(V{nan, -2.0}), 2.0);
  expect_bits(norm_inf(V{nan}), 0.0);
  expect_bits(norm_inf(V{}), 0.0);
  EXPECT_EQ(norm_inf(V{-inf, 1.0}), inf);
}

TEST(Project, ClampRule) {
  const V x{5.0, nan, 7.0, -3.0, -0.0, -0.0};
  const V lower{0.0, 0.0, 2.0, 2.0, 0.0, 0.0};
  const V upper{1.0, 1.0, 2.0, 2.0, 1.0, 0.0};
  const V r = project(x, lower, upper);
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[0], 1.0);
  EXPECT_TRUE(std::isnan(r[1]));
  EXPECT_EQ(r[2], 2.0);
  EXPECT_EQ(r[3], 2.0);
  expect_bits(r[4], -0.0);  // equal to the bound: keeps its own sign
  expect_bits(r[5], -0.0);
  EXPECT_EQ(project(V{1, 2, 3}, V{0, 0}, V{9, 9, 9}).size(), 2u);
}

TEST(BoundedStep, ClampsAndNeverFuses) {
  EXPECT_EQ(bounded_step(V{0.0}, V{1.0}, V{-inf}, V{0.5}, 2.0), V{0.5});
  EXPECT_EQ(bounded_step(V{0.0}, V{1.0}, V{-inf}, V{inf}, 2.0), V{2.0});
  // t*d = 1 - 2^-60 rounds to 1 before the sum; a fused form would give -2^-60.
  expect_bits(bounded_step(V{-1.0}, V{up}, V{-inf}, V{inf}, down)[0], 0.0);
  EXPECT_EQ(bounded_step(V{0, 0, 0}, V{1, 1}, V{-1, -1, -1}, V{1, 1, 1}, 0.25).size(), 2u);
  EXPECT_TRUE(std::isnan(bounded_step(V{0.0}, V{nan}, V{-1.0}, V{1.0}, 1.0)[0]));
}

TEST(Difference, ShorterLength) {
  EXPECT_EQ(difference(V{3, 2, 1}, V{1, 1}), (V{2, 1}));
  expect_bits(difference(V{0.0}, V{0.0})[0], 0.0);
}

TEST(ActiveCount, Tests) {
  struct Case {
    const char* label;
    double x, lower, upper;
    std::size_t active;
  };
  const Case cases[] = {
      {"near finite lower", 1.0 + 5e-13, 1.0, 9.0, 1},
      {"beyond tolerance", 1.0 + 2e-12, 1.0, 9.0, 0},
      {"near finite upper", 9.0 - 5e-13, 1.0, 9.0, 1},
      {"fixed elsewhere", 100.0, 3.0, 3.0, 1},
      {"fixed infinite", 0.0, inf, inf, 1},
      {"open", 0.0, -inf, inf, 0},
      {"nan inside", nan, 0.0, 1.0, 0},
      {"nan fixed", nan, 1.0, 1.0, 1},
  };
  V x, lower, upper;
  std::size_t total = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(active_count_with_activity(V{c.x}, V{c.lower}, V{c.upper}), c.active);
    x.push_back(c.x);
    lower.push_back(c.lower);
    upper.push_back(c.upper);
    total += c.active;
  }
  EXPECT_EQ(active_count_with_activity(x, lower, upper), total);
  EXPECT_EQ(active_count_with_activity(V{}, V{}, V{}), 0u);
}

}  // namespace

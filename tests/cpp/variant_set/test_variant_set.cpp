// The Cauchy combination at its switches and limits, against its closed forms.
#include "variant_set/model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using kestrune::variant_set::cauchy_combination;

struct Case {
  std::string name;
  std::vector<double> p_values;
  double expected;  // NaN: only the side of 0.5 is checked
};

class CauchyCombination : public ::testing::TestWithParam<Case> {};

TEST_P(CauchyCombination, MatchesItsClosedForm) {
  const Case& c = GetParam();
  const double combined = cauchy_combination(c.p_values);
  if (!std::isnan(c.expected)) {
    EXPECT_NEAR(combined, c.expected, 1e-9 * c.expected);
  }
  bool all_above_half = true;
  for (const double p : c.p_values) all_above_half = all_above_half && p > 0.5;
  if (all_above_half) {
    EXPECT_GT(combined, 0.5);
  }
  EXPECT_GE(combined, 0.0);
  EXPECT_LE(combined, 1.0);
}

constexpr double pi = 3.141592653589793;
const double nan = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Limits, CauchyCombination,
    ::testing::Values(
        // A p-value of 0 enters as 1e-300 and comes back as it.
        Case{"zero", {0.0}, 1e-300},
        Case{"below_the_floor", {1e-310, 1e-320}, 1e-300},
        // A tail of 1 is held at 0.999999, which comes back.
        Case{"ones", {1.0, 1.0}, 0.999999},
        Case{"one_single", {0.3}, 0.3},
        // Small p-values take the reciprocal form: T = (1 / (1e-8 pi) + 0) / 2.
        Case{"small_and_half", {1e-8, 0.5}, std::atan(2e-8 * pi) / pi},
        Case{"above_half", {0.7, 0.9, 0.6}, nan}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace

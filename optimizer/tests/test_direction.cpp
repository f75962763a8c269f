// Direction selection on the limited-memory path.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "backend/native/direction.hpp"
#include "backend/native/history.hpp"
#include "backend/native/products.hpp"

namespace {

namespace native = compat_lbfgsb::backend::native;
using Vec = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();

struct Case {
  const char* name;
  Vec x, g, lower, upper;
  bool subspace;
  double tolerance;
  Vec direction;  // expected
};

class DirectionSelection : public ::testing::TestWithParam<Case> {};

}  // namespace

// At x = 0.5 in [0, 1] with g = -1 the projected direction is +1, while the
// Cauchy point stops on the bound at 1, a step of 0.5: tolerances on either
// side of 0.5 pick one or the other.
TEST_P(DirectionSelection, PicksTheExpectedDirection) {
  const Case& c = GetParam();
  const std::vector<native::Correction> history;
  const auto choice = native::direction_with_mode(c.x, c.g, c.lower, c.upper, history,
                                                  native::DirectionMode{c.tolerance, c.subspace});
  EXPECT_EQ(choice.direction, c.direction) << c.name;
  EXPECT_FALSE(choice.full_step_point.has_value()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DirectionSelection,
    ::testing::Values(
        Case{"subspace_off", {0.5}, {-1.0}, {0.0}, {1.0}, false, 0.0, {1.0}},
        Case{"step_above_tolerance", {0.5}, {-1.0}, {0.0}, {1.0}, true, 0.49999, {0.5}},
        Case{"step_equal_to_tolerance", {0.5}, {-1.0}, {0.0}, {1.0}, true, 0.5, {1.0}},
        Case{"step_onto_a_bound_carries_no_full_step_point", {0.5, 0.0}, {-1.0, 2.0}, {0.0, -inf},
             {1.0, inf}, true, 1e-16, {0.5, -2.0}},
        // Pushed outward at both bounds: the Cauchy point is x, nothing is free,
        // the step is 0 and the projected direction (zero) is returned.
        Case{"nothing_moves", {0.0, 1.0}, {1.0, -1.0}, {0.0, 0.0}, {1.0, 1.0}, true, 1e-16, {-0.0, 0.0}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(DirectionSelection, SubspaceOffEqualsProjectedLbfgs) {
  const std::vector<native::Correction> history{{{1.0, -0.5}, {2.0, -0.25}, 1.0 / 2.125},
                                                {{0.5, 0.5}, {0.75, 1.5}, 1.0 / 1.125}};
  const Vec x{0.2, 0.9}, g{0.3, -1.1}, lower{0.0, -inf}, upper{inf, 1.0};
  for (const double tolerance : {0.0, 1e-16, 1e3}) {
    const auto choice = native::direction_with_mode(x, g, lower, upper, history,
                                                    native::DirectionMode{tolerance, false});
    EXPECT_EQ(choice.direction, native::projected_lbfgs_direction(x, g, lower, upper, history));
  }
  // With the subspace mode on and nothing bounding the step, the subspace
  // point is the model's Newton point, the same as the two-loop direction up
  // to rounding.
  const Vec free_lower{-inf, -inf}, free_upper{inf, inf};
  const auto newton = native::direction_with_mode(x, g, free_lower, free_upper, history,
                                                  native::DirectionMode{1e-16, true});
  const Vec two_loop = native::projected_lbfgs_direction(x, g, free_lower, free_upper, history);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(newton.direction[i], two_loop[i], 1e-12);
}

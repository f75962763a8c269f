// What Python cannot reach of the tobit model: the range of a held heritability, and the
// refusals of searches that cannot be evaluated or cannot converge.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "objective_changes.hpp"
#include "tobit/model.hpp"

namespace {

using kestrune::tobit::Censoring;
using kestrune::tobit::TobitModel;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TobitModel two_pairs() {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(4, 4);
  a(0, 1) = a(1, 0) = a(2, 3) = a(3, 2) = 0.5;
  const std::vector<Censoring> censoring{Censoring::Measured, Censoring::Measured, Censoring::AtOrAbove,
                                         Censoring::Measured};
  return *TobitModel::build(a, std::vector<double>{1.2, 0.4, nan, -0.3}, censoring,
                            std::vector<double>{nan, nan, 1.0, nan}, Eigen::MatrixXd(Eigen::MatrixXd::Ones(4, 1)));
}

TEST(Tobit, HeldHeritabilityMustLieInTheUnitInterval) {
  const TobitModel model = two_pairs();
  for (const double held : {1.0000001, -0.0000001, nan}) {
    const auto fit = model.fit_holding(held);
    ASSERT_FALSE(fit) << held;
    EXPECT_EQ(fit.error().code, "TOBIT_HELD_HERITABILITY_OUT_OF_RANGE");
  }
  for (const double held : {0.0, 1.0}) {
    const auto fit = model.fit_holding(held);
    ASSERT_TRUE(fit) << held;
    EXPECT_EQ(fit->h2, held);
  }
}

// ---- searches that cannot be evaluated or cannot converge ---------------------------------

namespace changes = objective_changes;

using changes::Operation;
using changes::SearchCase;

class Searches : public testing::TestWithParam<SearchCase> {};

TEST_P(Searches, ThatCannotBeEvaluatedOrCannotConvergeAreRefused) {
  const SearchCase& c = GetParam();
  const TobitModel model = c.change ? two_pairs().with_objective_change(*c.change) : two_pairs();
  EXPECT_EQ(changes::heritability_outcome(model, c.operation), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Tobit, Searches,
    testing::Values(
        SearchCase{"unchanged_test", std::nullopt, Operation::test, ""},
        SearchCase{"unchanged_interval", std::nullopt, Operation::interval, ""},
        SearchCase{"nowhere_evaluable_fit", changes::unevaluable(changes::free_at(0)), Operation::fit,
                   "TOBIT_NO_START_CONVERGED"},
        SearchCase{"nowhere_evaluable_test", changes::unevaluable(changes::holding(0, 0.0)), Operation::test,
                   "TOBIT_NO_START_CONVERGED"},
        SearchCase{"rough_free_fit", changes::rough(changes::free_at(0)), Operation::fit, "not converged"},
        SearchCase{"rough_free_test", changes::rough(changes::free_at(0)), Operation::test,
                   "TOBIT_FIT_NOT_CONVERGED"},
        SearchCase{"rough_free_interval", changes::rough(changes::free_at(0)), Operation::interval,
                   "TOBIT_FIT_NOT_CONVERGED"},
        SearchCase{"rough_null_test", changes::rough(changes::holding(0, 0.0)), Operation::test,
                   "TOBIT_NULL_FIT_NOT_CONVERGED"},
        SearchCase{"rough_held_interval", changes::rough(changes::holding(0)), Operation::interval,
                   "TOBIT_PROFILE_NOT_EVALUABLE"},
        SearchCase{"held_unevaluable_interval", changes::unevaluable(changes::holding(0)), Operation::interval,
                   "TOBIT_PROFILE_NOT_EVALUABLE"}),
    [](const testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

}  // namespace

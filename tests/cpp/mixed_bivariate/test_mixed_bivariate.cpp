// What Python cannot reach of the mixed bivariate model: held coordinates and their ranges, and
// the refusals of searches that cannot be evaluated or cannot converge.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "../tobit/objective_changes.hpp"
#include "mixed_bivariate/model.hpp"

namespace {

using kestrune::mixed_bivariate::Censoring;
using kestrune::mixed_bivariate::Held;
using kestrune::mixed_bivariate::MixedBivariateModel;
using kestrune::mixed_bivariate::TraitData;
using kestrune::mixed_bivariate::TraitKind;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Three sib pairs: a continuous first trait and a binary second one.
MixedBivariateModel model() {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(6, 6);
  for (int f = 0; f < 3; ++f) a(2 * f, 2 * f + 1) = a(2 * f + 1, 2 * f) = 0.5;
  TraitData first{{0.3, -0.4, 1.2, 0.8, -0.1, 0.5}, std::vector<Censoring>(6, Censoring::Measured),
                  std::vector<double>(6, 0.0), TraitKind::Continuous};
  TraitData second{std::vector<double>(6, nan),
                   {Censoring::AtOrAbove, Censoring::AtOrBelow, Censoring::AtOrAbove, Censoring::AtOrAbove,
                    Censoring::AtOrBelow, Censoring::AtOrBelow},
                   std::vector<double>(6, 0.0), TraitKind::Binary};
  return *MixedBivariateModel::build(a, std::move(first), std::move(second),
                                     Eigen::MatrixXd(Eigen::MatrixXd::Ones(6, 1)));
}

struct HeldCase {
  std::string name;
  Held held;
  std::string code;
};

class Holding : public testing::TestWithParam<HeldCase> {};

TEST_P(Holding, RefusesCoordinatesAndValuesOutsideTheirBounds) {
  const auto fit = model().fit_holding(GetParam().held);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().code, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    MixedBivariate, Holding,
    testing::Values(HeldCase{"fixed_effect", {6, 0.0}, "MIXED_BIVARIATE_HELD_COORDINATE_INVALID"},
                    HeldCase{"heritability_above_one", {0, 1.5}, "MIXED_BIVARIATE_HELD_VALUE_OUT_OF_RANGE"},
                    HeldCase{"binary_variance_off_zero", {3, 0.5}, "MIXED_BIVARIATE_HELD_VALUE_OUT_OF_RANGE"},
                    HeldCase{"correlation_below_minus_one", {5, -1.1}, "MIXED_BIVARIATE_HELD_VALUE_OUT_OF_RANGE"}),
    [](const testing::TestParamInfo<HeldCase>& info) { return info.param.name; });

// ---- searches that cannot be evaluated or cannot converge ---------------------------------

namespace changes = objective_changes;
using kestrune::mixed_bivariate::genetic_correlation;

using changes::Operation;
using changes::SearchCase;

// The operation's error code, or "" when it succeeds: the test of the genetic correlation
// against 0, the interval of the first heritability.
std::string outcome(const MixedBivariateModel& model, Operation operation) {
  switch (operation) {
    case Operation::fit: return changes::fit_outcome(model.fit_holding(std::nullopt));
    case Operation::test: return changes::code_of(model.correlation_test(genetic_correlation, 0.0));
    case Operation::interval: return changes::code_of(model.profile_interval(0));
  }
  return "";
}

class Searches : public testing::TestWithParam<SearchCase> {};

TEST_P(Searches, ThatCannotBeEvaluatedOrCannotConvergeAreRefused) {
  const SearchCase& c = GetParam();
  const MixedBivariateModel base = model();
  const MixedBivariateModel changed = c.change ? base.with_objective_change(*c.change) : base;
  EXPECT_EQ(outcome(changed, c.operation), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    MixedBivariate, Searches,
    testing::Values(
        SearchCase{"unchanged_test", std::nullopt, Operation::test, ""},
        SearchCase{"unchanged_interval", std::nullopt, Operation::interval, ""},
        SearchCase{"nowhere_evaluable_fit", changes::unevaluable(changes::free_at(0)), Operation::fit,
                   "MIXED_BIVARIATE_NO_START_CONVERGED"},
        SearchCase{"rough_free_test", changes::rough(changes::free_at(0)), Operation::test,
                   "MIXED_BIVARIATE_FIT_NOT_CONVERGED"},
        SearchCase{"rough_null_test", changes::rough(changes::holding(genetic_correlation, 0.0)), Operation::test,
                   "MIXED_BIVARIATE_NULL_FIT_NOT_CONVERGED"},
        SearchCase{"rough_held_interval", changes::rough(changes::holding(0)), Operation::interval,
                   "MIXED_BIVARIATE_PROFILE_NOT_EVALUABLE"},
        SearchCase{"held_unevaluable_interval", changes::unevaluable(changes::holding(0)), Operation::interval,
                   "MIXED_BIVARIATE_PROFILE_NOT_EVALUABLE"}),
    [](const testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

}  // namespace

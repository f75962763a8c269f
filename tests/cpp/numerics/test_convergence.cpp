// Fit polishing: its controls, when it keeps a run and when it declines, and
// the convergence measure's edge rules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "numerics/convergence.hpp"
#include "param_names.hpp"

namespace {

using kestrune::convergence::contribution;
using kestrune::convergence::Edge;
using kestrune::convergence::Evaluate;
using kestrune::convergence::Evaluation;
using kestrune::convergence::largest_contribution;
using kestrune::convergence::polish;
using kestrune::convergence::polish_controls;
using kestrune::convergence::scaled_gradient;
using Objective = compat_lbfgsb::compat::Objective;
using Gradient = compat_lbfgsb::compat::Gradient;
using Vec = std::vector<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// --- controls -------------------------------------------------------------------

struct FnscaleCase {
  double start_value, fnscale;
};

class PolishFnscale : public testing::TestWithParam<FnscaleCase> {};

TEST_P(PolishFnscale, IsTheStartValuesMagnitudeButAtLeastOne) {
  const auto control = polish_controls(2, GetParam().start_value);
  EXPECT_EQ(control.fnscale, GetParam().fnscale);
}

INSTANTIATE_TEST_SUITE_P(Polish, PolishFnscale,
                         testing::Values(FnscaleCase{-250.0, 250.0}, FnscaleCase{0.3, 1.0}, FnscaleCase{nan, 1.0},
                                         FnscaleCase{1e30, 1e30}, FnscaleCase{-inf, inf}),
                         [](const testing::TestParamInfo<FnscaleCase>& info) {
                           return "start_" + kestrune_test::name_of(info.param.start_value);
                         });

TEST(Polish, ControlsAreTightAndLmmCapsAtTen) {
  for (const auto& [n, lmm] : {std::pair<std::size_t, std::size_t>{0, 0}, {3, 3}, {10, 10}, {25, 10}}) {
    const auto control = polish_controls(n, 4.0);
    EXPECT_EQ(control.lmm, lmm) << n;
    EXPECT_EQ(control.parscale, Vec(n, 1.0));
    EXPECT_EQ(control.ndeps, Vec(n, 1e-3));
    EXPECT_EQ(control.maxit, 200u);
    EXPECT_EQ(control.factr, 0.0);
    EXPECT_EQ(control.pgtol, 1e-9);
    EXPECT_EQ(control.trace, 0u);
    EXPECT_EQ(control.REPORT, 10u);
  }
}

// --- accepting and declining ---------------------------------------------------------

// (x - 1)^2 + (y + 2)^2 with its gradient; the polish run from anywhere ends at (1, -2).
const Objective kBowl = [](std::span<const double> x) {
  return (x[0] - 1.0) * (x[0] - 1.0) + (x[1] + 2.0) * (x[1] + 2.0);
};
const Gradient kBowlGradient = [](std::span<const double> x) { return Vec{2.0 * (x[0] - 1.0), 2.0 * (x[1] + 2.0)}; };

// An evaluation that reports fixed numbers, whatever the point.
Evaluate fixed(std::optional<Evaluation> e) {
  return [e](std::span<const double>) { return e; };
}

struct DecisionCase {
  const char* name;
  std::optional<Evaluation> evaluation;
  double reference, tolerance;
  bool accepted;
};

class PolishDecision : public testing::TestWithParam<DecisionCase> {};

TEST_P(PolishDecision, KeepsOnlyANoWorseAndFlatterPoint) {
  const DecisionCase& c = GetParam();
  const auto p = polish(Vec{0.0, 0.0}, Vec{-5.0, -5.0}, Vec{5.0, 5.0}, kBowl, kBowlGradient, fixed(c.evaluation),
                        c.reference, c.tolerance);
  ASSERT_EQ(p.has_value(), c.accepted);
  if (!p) return;
  EXPECT_NEAR(p->par[0], 1.0, 1e-9);
  EXPECT_NEAR(p->par[1], -2.0, 1e-9);
  EXPECT_EQ(p->value, c.evaluation->value);  // the evaluation's value, not the run's (0)
  EXPECT_EQ(p->scaled_gradient, scaled_gradient(c.evaluation->measure, c.evaluation->value));
  EXPECT_EQ(p->convergence, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Polish, PolishDecision,
    testing::Values(
        // value equal to the reference, scaled 0.5 / 2 = 0.25 below 0.3: kept.
        DecisionCase{"equal_value_flatter", Evaluation{2.0, 0.5}, 2.0, 0.3, true},
        // value below the reference but scaled 0.25 / 1 equal to the tolerance: declined.
        DecisionCase{"lower_value_equally_steep", Evaluation{1.0, 0.25}, 2.0, 0.25, false},
        DecisionCase{"worse_value", Evaluation{2.5, 0.0}, 2.0, 1.0, false},
        DecisionCase{"nan_value", Evaluation{nan, 0.0}, 2.0, 1.0, false},
        DecisionCase{"infinite_value", Evaluation{-inf, 0.0}, 2.0, 1.0, false},
        DecisionCase{"evaluation_fails", std::nullopt, 2.0, 1.0, false},
        // A NaN reference or tolerance refuses nothing.
        DecisionCase{"nan_reference", Evaluation{3.0, 0.1}, nan, 1.0, true},
        DecisionCase{"nan_tolerance", Evaluation{3.0, 5.0}, 4.0, nan, true},
        // |value| below 1 divides by 1: scaled 0.2 against 0.2 is declined.
        DecisionCase{"small_value_divides_by_one", Evaluation{-0.5, 0.2}, 0.0, 0.2, false}),
    [](const testing::TestParamInfo<DecisionCase>& info) { return std::string(info.param.name); });

struct RefusedRunCase {
  const char* name;
  Vec x0, lower, upper;
  Objective objective;
};

class PolishRefusedRun : public testing::TestWithParam<RefusedRunCase> {};

TEST_P(PolishRefusedRun, ReturnsNothingAndNeverEvaluates) {
  const RefusedRunCase& c = GetParam();
  int evaluations = 0;
  const Evaluate evaluate = [&](std::span<const double>) {
    ++evaluations;
    return std::optional<Evaluation>(Evaluation{0.0, 0.0});
  };
  const Gradient gradient = [](std::span<const double> x) { return Vec(x.size(), 0.0); };
  EXPECT_FALSE(polish(c.x0, c.lower, c.upper, c.objective, gradient, evaluate, inf, inf).has_value());
  EXPECT_EQ(evaluations, 0);
}

const Objective kZero = [](std::span<const double>) { return 0.0; };

INSTANTIATE_TEST_SUITE_P(
    Polish, PolishRefusedRun,
    testing::Values(
        RefusedRunCase{"bounds_crossed", {0.5}, {1.0}, {0.0}, kZero},
        RefusedRunCase{"bounds_nan", {0.5}, {nan}, {1.0}, kZero},
        RefusedRunCase{"bounds_lengths_differ", {0.5}, {0.0}, {1.0, 2.0}, kZero},
        // Lower and upper agree with each other but not with x0: the run refuses them.
        RefusedRunCase{"bounds_shorter_than_start", {0.5, 0.5}, {0.0}, {1.0}, kZero},
        // No parameters: lmm is 0, which the run refuses.
        RefusedRunCase{"no_parameters", {}, {}, {}, kZero},
        // An infinite start value makes fnscale infinite.
        RefusedRunCase{"infinite_start_value", {0.5}, {0.0}, {1.0}, [](std::span<const double>) { return inf; }},
        // A NaN start value gives fnscale 1, and then the run's first evaluation fails.
        RefusedRunCase{"nan_start_value", {0.5}, {0.0}, {1.0}, [](std::span<const double>) { return nan; }}),
    [](const testing::TestParamInfo<RefusedRunCase>& info) { return std::string(info.param.name); });

TEST(Polish, FixedCoordinateRunsBecauseTheGradientIsAlwaysGiven) {
  const Evaluate evaluate = [](std::span<const double> x) {
    return std::optional<Evaluation>(Evaluation{kBowl(x), 0.0});
  };
  const auto p = polish(Vec{0.0, 3.0}, Vec{-5.0, 3.0}, Vec{5.0, 3.0}, kBowl, kBowlGradient, evaluate, inf, 1.0);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->par[1], 3.0);
  EXPECT_NEAR(p->par[0], 1.0, 1e-9);
  EXPECT_EQ(p->value, kBowl(p->par));
}

TEST(Polish, CarriesAnIterationLimitRunIntoTheRecord) {
  // An ill-conditioned quadratic in 20 dimensions does not reach pgtol 1e-9 in 200
  // iterations; the run still improves on the start and is kept.
  const std::size_t n = 20;
  Vec lambda(n);
  for (std::size_t i = 0; i < n; ++i) lambda[i] = std::pow(1e4, static_cast<double>(i) / (n - 1));
  const Objective objective = [&](std::span<const double> x) {
    double f = 0.0;
    for (std::size_t i = 0; i < n; ++i) f += 0.5 * lambda[i] * x[i] * x[i];
    return f;
  };
  const Gradient gradient = [&](std::span<const double> x) {
    Vec g(n);
    for (std::size_t i = 0; i < n; ++i) g[i] = lambda[i] * x[i];
    return g;
  };
  const Evaluate evaluate = [&](std::span<const double> x) {
    const Vec g = gradient(x);
    return std::optional<Evaluation>(
        Evaluation{objective(x), largest_contribution(g, [](std::size_t) { return Edge::interior; })});
  };
  const Vec x0(n, 1.0);
  const auto start = evaluate(x0);
  const double tolerance = scaled_gradient(start->measure, start->value);
  const auto p = polish(x0, Vec(n, -inf), Vec(n, inf), objective, gradient, evaluate, start->value, tolerance);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->convergence, 1);
  EXPECT_EQ(p->message, "NEW_X");
  EXPECT_LT(p->value, 1e-2 * start->value);
  EXPECT_LT(p->scaled_gradient, tolerance);
  EXPECT_EQ(p->value, objective(p->par));
}

// --- the measure --------------------------------------------------------------------

struct ContributionCase {
  Edge edge;
  double g, part;
};

std::string edge_name(Edge edge) {
  switch (edge) {
    case Edge::interior: return "interior";
    case Edge::lower: return "lower";
    case Edge::upper: return "upper";
    case Edge::fixed: return "fixed";
  }
  return "unknown";
}

class Contribution : public testing::TestWithParam<ContributionCase> {};

TEST_P(Contribution, CountsOnlyThePartPointingIntoTheBox) {
  EXPECT_EQ(contribution(GetParam().edge, GetParam().g), GetParam().part);
}

INSTANTIATE_TEST_SUITE_P(Measure, Contribution,
                         testing::Values(ContributionCase{Edge::interior, -3.0, 3.0},
                                         ContributionCase{Edge::interior, 2.0, 2.0},
                                         ContributionCase{Edge::lower, -3.0, 3.0},
                                         ContributionCase{Edge::lower, 2.0, 0.0},
                                         ContributionCase{Edge::upper, -3.0, 0.0},
                                         ContributionCase{Edge::upper, 2.0, 2.0},
                                         ContributionCase{Edge::fixed, -3.0, 0.0},
                                         ContributionCase{Edge::fixed, 2.0, 0.0}),
                         [](const testing::TestParamInfo<ContributionCase>& info) {
                           return edge_name(info.param.edge) + (info.param.g < 0 ? "_negative_g" : "_positive_g");
                         });

TEST(Measure, LargestContributionIgnoresNaNAndIsZeroWithoutCoordinates) {
  const auto edges = [](std::size_t i) { return i == 0 ? Edge::lower : i == 1 ? Edge::upper : Edge::interior; };
  EXPECT_EQ(largest_contribution(Vec{}, edges), 0.0);
  EXPECT_EQ(largest_contribution(Vec{5.0, -7.0, -1.5}, edges), 1.5);   // both edge parts point out
  EXPECT_EQ(largest_contribution(Vec{-4.0, 6.0, nan}, edges), 6.0);
  EXPECT_EQ(largest_contribution(Vec{nan, nan, nan}, edges), 0.0);
}

TEST(Measure, BoxMeasureComparesWithTheBoundsExactly) {
  using kestrune::convergence::box_measure;
  const Vec lower{0.0, 0.0, 0.0, 1.0}, upper{1.0, 1.0, 1.0, 1.0};
  // At the lower edge a positive part points out, at the upper a negative one; a pinned
  // coordinate stands at its lower edge, so its negative part still counts.
  EXPECT_EQ(box_measure(Vec{2.0, -3.0, 0.5, 0.0}, Vec{0.0, 1.0, 0.5, 1.0}, lower, upper), 0.5);
  EXPECT_EQ(box_measure(Vec{2.0, -3.0, 0.5, -4.0}, Vec{0.0, 1.0, 0.5, 1.0}, lower, upper), 4.0);
  // Just inside counts in full; an ulp inside a nonzero bound is on it.
  EXPECT_EQ(box_measure(Vec{2.0, 0.0, 0.0, 0.0}, Vec{1e-300, 0.5, 0.5, 1.0}, lower, upper), 2.0);
  const Vec rate_upper{0.999, 0.999};
  EXPECT_EQ(box_measure(Vec{-106.0, 0.0}, Vec{std::nextafter(0.999, 0.0), 0.5}, Vec{0.0, 0.0}, rate_upper), 0.0);
  EXPECT_EQ(box_measure(Vec{-106.0, 0.0}, Vec{0.998, 0.5}, Vec{0.0, 0.0}, rate_upper), 106.0);
}

TEST(Measure, ScaledGradientDividesByTheValueButNeverByLessThanOne) {
  EXPECT_EQ(scaled_gradient(3.0, -300.0), 0.01);
  EXPECT_EQ(scaled_gradient(3.0, 0.5), 3.0);
  EXPECT_EQ(scaled_gradient(3.0, nan), 3.0);
}

}  // namespace

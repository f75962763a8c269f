// The fit's pieces: held coordinates, the difference stencil at bounds, the penalty, the
// projected gradient, the refusal when a rejected start did better, the bootstrap's rule.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "latent_mediation/fit.hpp"
#include "latent_mediation/model.hpp"

namespace lm = kestrune::latent_mediation;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Families of two sibs with measured mediators and binary outcomes, drawn once by hand.
lm::LatentMediationModel sibs(bool measured = true) {
  const double mediators[][2] = {{0.3, -0.4}, {1.2, 0.8}, {-0.7, -1.1}, {0.1, 0.9}, {-1.5, -0.2}, {0.6, 1.4}};
  const std::int8_t outcomes[][2] = {{0, 1}, {1, 1}, {0, 0}, {1, 0}, {0, 0}, {1, 1}};
  std::vector<lm::LatentMediationFamilyInput> inputs;
  for (std::size_t f = 0; f < 6; ++f) {
    lm::LatentMediationFamilyInput input;
    input.relationship = {{1.0, 0.5}, {0.5, 1.0}};
    input.latent_mean = {0.0, 0.0, 0.0, 0.0};
    if (measured) {
      input.mediator_measurement = {mediators[f][0], mediators[f][1]};
      input.mediator_measurement_error_variance = {0.3, 0.3};
    } else {
      input.mediator_measurement = {std::nullopt, std::nullopt};
      input.mediator_measurement_error_variance = {std::nullopt, std::nullopt};
    }
    input.mediator_proxy_status = {std::nullopt, std::nullopt};
    input.outcome_status = {outcomes[f][0], outcomes[f][1]};
    input.mediator_threshold = {0.0, 0.0};
    input.outcome_threshold = {0.3, 0.3};
    input.mediator_proxy_sensitivity = {0.9, 0.9};
    input.mediator_proxy_specificity = {0.9, 0.9};
    input.ascertainment = "population_unconditioned";
    inputs.push_back(std::move(input));
  }
  return *lm::LatentMediationModel::build(std::move(inputs), 0);
}

struct HeldCase {
  const char* name;
  std::vector<lm::HeldCoordinate> held;
  bool measured;
  std::string_view code;
};

class LatentFitRefusals : public testing::TestWithParam<HeldCase> {};

TEST_P(LatentFitRefusals, InOrder) {
  const auto fit = sibs(GetParam().measured).fit_holding_at(GetParam().held);
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().code, GetParam().code);
}

const HeldCase held_cases[] = {
    {"index_five_before_the_scale", {{5, 0.0}}, false, "LATENT_MEDIATION_HELD_COORDINATE_INVALID"},
    {"no_measured_mediator", {}, false, "LATENT_MEDIATION_MEDIATOR_SCALE_UNIDENTIFIED"},
    {"below_the_lower_bound", {{0, -0.1}}, true, "LATENT_MEDIATION_HELD_VALUE_OUT_OF_RANGE"},
    {"held_twice_at_two_values", {{2, 0.5}, {2, 0.3}}, true, "LATENT_MEDIATION_HELD_VALUE_OUT_OF_RANGE"},
    {"nan", {{1, nan}}, true, "LATENT_MEDIATION_OPTIMISER_BOUNDS_INVALID"},
};

INSTANTIATE_TEST_SUITE_P(Table, LatentFitRefusals, testing::ValuesIn(held_cases),
                         [](const testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

TEST(LatentFit, HoldingTheLoadingAtZeroReportsItOnTheBoundary) {
  const auto model = sibs();
  const auto fit = *model.fit_holding_at({{0, 0.0}, {0, 0.0}});  // the same value twice is one hold
  EXPECT_EQ(fit.a, 0.0);
  ASSERT_FALSE(fit.boundary_parameters.empty());
  EXPECT_EQ(fit.boundary_parameters.front(), "a");
  EXPECT_FALSE(fit.horizontal_identified);
  EXPECT_LT(fit.scaled_gradient, 1e-5);
  const auto product = *model.fit_holding_at({{0, 0.5}, {1, 0.4}});
  EXPECT_NEAR(product.a * product.b, 0.2, 1e-15);
  EXPECT_EQ(product.boundary_parameters.front(), "a");
  // The fit's log likelihood is its evaluation's, on the natural scale.
  const auto free = *model.fit_holding_at({});
  EXPECT_EQ(free.log_likelihood, free.evaluation.log_likelihood);
  EXPECT_NEAR(model.evaluate({free.a, free.b, free.c_prime, free.d, free.sigma_m2})->log_likelihood, free.log_likelihood,
              1e-12);
}

// f(x) = (x0 - 1)^2 + 3 x1^2 x0: second-order stencils are exact on quadratics in each coordinate.
std::optional<double> quadratic(std::span<const double> x) { return (x[0] - 1.0) * (x[0] - 1.0) + 3.0 * x[1] * x[1] * x[0]; }

TEST(LatentFit, StencilTurnsAtTheBounds) {
  const std::vector<std::pair<std::vector<double>, std::vector<double>>> bounds = {
      {{0.0, -inf}, {inf, inf}},    // x0 on its lower bound: forward
      {{-inf, -inf}, {2.0, inf}},   // x0 on its upper bound: backward
      {{-inf, -inf}, {inf, inf}},   // central
  };
  const std::vector<double> points[] = {{0.0, 0.5}, {2.0, 0.5}, {0.7, 0.5}};
  for (std::size_t c = 0; c < 3; ++c) {
    const auto& x = points[c];
    const auto g = *lm::stencil_gradient(quadratic, x, *quadratic(x), bounds[c].first, bounds[c].second, 1e-5);
    EXPECT_NEAR(g[0], 2.0 * (x[0] - 1.0) + 3.0 * 0.25, 1e-8) << c;
    EXPECT_NEAR(g[1], 6.0 * 0.5 * x[0], 1e-8) << c;
  }
  // Just above the lower bound x - h leaves the box, so the difference is forward too: its
  // points are x, x + h and x + 2h, never below 0.
  std::vector<double> seen;
  const lm::FitObjective recording = [&seen](std::span<const double> x) -> std::optional<double> {
    seen.push_back(x[0]);
    return quadratic(x);
  };
  const std::vector<double> near = {4e-6, 0.5}, lower = {0.0, 0.5}, upper = {inf, 0.5};
  const auto g = *lm::stencil_gradient(recording, near, *quadratic(near), lower, upper, 1e-5);
  EXPECT_EQ(g[1], 0.0);  // held
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], 4e-6 + 1e-5);
  EXPECT_EQ(seen[1], 4e-6 + 2e-5);
  // A coordinate no difference can resolve after nine halvings fails the stencil.
  const lm::FitObjective broken = [](std::span<const double> x) -> std::optional<double> {
    if (x[0] != 0.5) return std::nullopt;
    return 1.0;
  };
  const std::vector<double> mid = {0.5, 0.0, 0.0, 0.0, 0.0}, low(5, -inf), high(5, inf);
  EXPECT_FALSE(lm::stencil_gradient(broken, mid, 1.0, low, high, 1e-5));
  EXPECT_EQ(lm::bound_aware_gradient(1e-5, mid, low, high, broken).error().code,
            "LATENT_MEDIATION_GRADIENT_STENCIL_UNRESOLVED");
  EXPECT_EQ(lm::bound_aware_gradient(0.0, mid, low, high, quadratic).error().code,
            "LATENT_MEDIATION_GRADIENT_STENCIL_UNRESOLVED");
}

TEST(LatentFit, OnePointCostsTwoEvaluationsPerFreeCoordinate) {
  std::size_t calls = 0;
  const lm::FitObjective counted = [&calls](std::span<const double> x) -> std::optional<double> {
    ++calls;
    double sum = 0.0;
    for (const double v : x) sum += v * v;
    return sum;
  };
  const std::vector<double> x = {0.5, 0.1, -0.2, 0.3, 0.0, 1.0, -1.0};  // five coordinates and two coefficients
  std::vector<double> lower = {0.0, -inf, -inf, 0.0, -inf, -inf, -inf}, upper(7, inf);
  lower[2] = upper[2] = -0.2;  // held
  ASSERT_TRUE(lm::stencil_gradient(counted, x, 0.63, lower, upper, 1e-5));
  EXPECT_EQ(calls, 2u * 6u);
}

TEST(LatentFit, PenaltyRisesAwayFromTheStart) {
  const lm::InwardPenalty penalty{{1.0, 2.0}, -50.0, 50.0 * 1e6};
  const auto [at_centre, flat] = penalty.value_and_gradient(std::vector<double>{1.0, 2.0});
  EXPECT_EQ(at_centre, -50.0 + 5e7);
  EXPECT_EQ(flat, (std::vector<double>{0.0, 0.0}));
  const auto [away, towards] = penalty.value_and_gradient(std::vector<double>{4.0, 2.0});
  EXPECT_NEAR(away, -50.0 + 5e7 * (1.0 + std::sqrt(10.0) - 1.0), 1e-6);
  EXPECT_NEAR(towards[0], 5e7 * 3.0 / std::sqrt(10.0), 1e-6);
}

TEST(LatentFit, ScaledGradientProjectsOntoTheBox) {
  const std::vector<double> lower = {0.0, -inf, 1.0}, upper = {inf, 2.0, 1.0};
  // Pushing out of the box at a bound, or along a held coordinate, does not count.
  EXPECT_EQ(lm::scaled_gradient(std::vector<double>{0.0, 2.0, 1.0}, 10.0, std::vector<double>{5.0, -3.0, 7.0}, lower, upper), 0.0);
  EXPECT_NEAR(lm::scaled_gradient(std::vector<double>{0.0, 3.0, 1.0}, 10.0, std::vector<double>{-5.0, 0.1, 7.0}, lower, upper),
              0.5, 1e-15);
  EXPECT_NEAR(lm::scaled_gradient(std::vector<double>{0.5, 3.0, 1.0}, 0.5, std::vector<double>{0.0, 0.1, 0.0}, lower, upper),
              0.3, 1e-15);
}

TEST(LatentFit, ARejectedStartBelowTheWinnerRefusesTheFitOnlyBeyondRounding) {
  EXPECT_TRUE(lm::better_optimum_unresolved(100.0, 100.0 - 1e-6));
  EXPECT_TRUE(lm::better_optimum_unresolved(9000.0, 9000.0 - 1e-6));
  EXPECT_FALSE(lm::better_optimum_unresolved(2e4, 2e4 - 1e-6));
  EXPECT_FALSE(lm::better_optimum_unresolved(100.0, 100.0 + 1.0));
  EXPECT_FALSE(lm::better_optimum_unresolved(100.0, std::nullopt));
}

// A test's free fit that a held fit beats is run again from the held fit's end point; the
// better of the two stands, and a free fit still beaten is refused.
TEST(LatentFit, AHeldFitAboveTheFreeOneSendsTheFreeFitBackToItsMaximum) {
  const auto model = sibs();
  const auto free = *model.fit_holding_at({});
  const auto null = *model.fit_holding_at({{2, 0.0}});
  const auto missed = *model.fit_holding_at({{4, 3.0}});  // a free fit stuck far from its maximum
  ASSERT_GT(missed.objective, null.objective + 1.0);
  std::size_t refits = 0;
  const lm::FreeRefit refit = [&](const std::vector<double>& start) {
    ++refits;
    EXPECT_EQ(start, null.coordinates);
    return model.fit_from({}, start);
  };

  // A null below the free fit: nothing to do.
  auto kept = lm::free_fit_above(free, null, refit);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->objective, free.objective);
  EXPECT_EQ(refits, 0u);
  // A null above it: the free fit run from the null's end point climbs at least to the null.
  auto found = lm::free_fit_above(missed, null, refit);
  ASSERT_TRUE(found);
  EXPECT_EQ(refits, 1u);
  EXPECT_LE(found->objective, null.objective);
  // A refit that fails or does no better leaves the null above the free fit: refused.
  using Refitted = kestrune::Result<lm::LatentMediationFit>;
  for (const Refitted& unresolved :
       {Refitted(kestrune::fail("LATENT_MEDIATION_NO_START_CONVERGED")), Refitted(missed)}) {
    const lm::FreeRefit returning = [&](const std::vector<double>&) {
      ++refits;
      return unresolved;
    };
    auto refused = lm::free_fit_above(missed, null, returning);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, "LATENT_MEDIATION_BETTER_UNRESOLVED_OPTIMUM");
  }
  EXPECT_EQ(refits, 3u);
}

struct BootstrapCase {
  const char* name;
  std::size_t replicates, usable, exceeding;
  bool passes;
};

class LatentBootstrapRule : public testing::TestWithParam<BootstrapCase> {};

TEST_P(LatentBootstrapRule, HalfTheReplicatesMustBeUsable) {
  const BootstrapCase& c = GetParam();
  std::size_t call = 0;
  // The first `usable` replicates give statistics, the first `exceeding` of them equal to
  // the observed one (an exceedance), the rest below it; the others are abandoned.
  const auto replicate = [&]() -> std::optional<double> {
    const std::size_t r = call++;
    if (r >= c.usable) return std::nullopt;
    return r < c.exceeding ? 2.0 : 1.0;
  };
  const auto outcome = lm::bootstrap_p_value(c.replicates, 2.0, replicate);
  EXPECT_EQ(call, c.replicates);
  ASSERT_EQ(outcome.has_value(), c.passes);
  if (!c.passes) {
    EXPECT_EQ(outcome.error().code, "LATENT_MEDIATION_BOOTSTRAP_TOO_FEW_USABLE");
    return;
  }
  EXPECT_EQ(outcome->usable, c.usable);
  EXPECT_EQ(outcome->p_value, static_cast<double>(c.exceeding + 1) / static_cast<double>(c.usable + 1));
}

const BootstrapCase bootstrap_cases[] = {
    {"r200_u100", 200, 100, 7, true}, {"r200_u99", 200, 99, 7, false}, {"r201_u101", 201, 101, 0, true},
    {"r201_u100", 201, 100, 0, false}, {"r0", 0, 0, 0, true},          {"all_exceed", 10, 10, 10, true},
};

INSTANTIATE_TEST_SUITE_P(Table, LatentBootstrapRule, testing::ValuesIn(bootstrap_cases),
                         [](const testing::TestParamInfo<BootstrapCase>& info) { return std::string(info.param.name); });

}  // namespace

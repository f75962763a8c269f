// Controls, bounds, scaling, start/gradient validation, evaluation counting
// and result builders.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "backend/native/evaluate.hpp"
#include "compat_lbfgsb/lbfgsb.hpp"

namespace {

using namespace compat_lbfgsb;
namespace err = compat_lbfgsb::error;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

template <class Variant>
Variant as(const std::expected<void, OptimError>& r) {
  EXPECT_FALSE(r.has_value());
  if (r.has_value() || !std::holds_alternative<Variant>(r.error())) {
    ADD_FAILURE() << "wrong outcome, variant index "
                  << (r.has_value() ? -1 : static_cast<int>(r.error().index()));
    return Variant{};
  }
  return std::get<Variant>(r.error());
}

TEST(OptimControl, DefaultsForDimension) {
  const auto c = OptimControl::default_for_dimension(3);
  EXPECT_EQ(c.parscale, std::vector<double>(3, 1.0));
  EXPECT_EQ(c.ndeps, std::vector<double>(3, 1e-3));
  EXPECT_EQ(c.maxit, 100u);
  EXPECT_EQ(c.fnscale, 1.0);
  EXPECT_EQ(c.factr, 1e7);
  EXPECT_EQ(c.pgtol, 0.0);
  EXPECT_EQ(c.lmm, 5u);
  EXPECT_EQ(c.trace, 0u);
  EXPECT_EQ(c.REPORT, 10u);
  const auto empty = OptimControl::default_for_dimension(0);
  EXPECT_TRUE(empty.parscale.empty() && empty.ndeps.empty());
  EXPECT_TRUE(empty.validate_for_dimension(0).has_value());
}

struct ControlCase {
  const char* label;
  void (*edit)(OptimControl&);
  const char* message;  // nullptr: passes
  const char* name;
};

const ControlCase control_cases[] = {
    {"fnscale negative", [](OptimControl& c) { c.fnscale = -1; }, nullptr, nullptr},
    {"fnscale zero", [](OptimControl& c) { c.fnscale = 0; }, "must be finite and nonzero", "fnscale"},
    {"fnscale -inf", [](OptimControl& c) { c.fnscale = -inf; }, "must be finite and nonzero", "fnscale"},
    {"fnscale nan", [](OptimControl& c) { c.fnscale = nan; }, "must be finite and nonzero", "fnscale"},
    {"factr zero", [](OptimControl& c) { c.factr = 0; }, nullptr, nullptr},
    {"factr tiny negative", [](OptimControl& c) { c.factr = -1e-300; }, "must be finite and nonnegative", "factr"},
    {"factr inf", [](OptimControl& c) { c.factr = inf; }, "must be finite and nonnegative", "factr"},
    {"pgtol -0", [](OptimControl& c) { c.pgtol = -0.0; }, nullptr, nullptr},
    {"pgtol nan", [](OptimControl& c) { c.pgtol = nan; }, "must be finite and nonnegative", "pgtol"},
    {"lmm before parscale", [](OptimControl& c) { c.lmm = 0; c.parscale[0] = 0; }, "must be greater than zero", "lmm"},
    {"parscale index 1", [](OptimControl& c) { c.parscale = {1, 0, -1}; c.ndeps[0] = -1; },
     "entry 1 must be finite and positive", "parscale"},
    {"parscale -0", [](OptimControl& c) { c.parscale[2] = -0.0; }, "entry 2 must be finite and positive", "parscale"},
    {"ndeps after parscale", [](OptimControl& c) { c.ndeps[0] = nan; }, "entry 0 must be finite and positive", "ndeps"},
    {"unvalidated fields", [](OptimControl& c) { c.maxit = 0; c.trace = 7; c.REPORT = 0; }, nullptr, nullptr},
};

TEST(OptimControl, ValidationOrderAndMessages) {
  for (const auto& tc : control_cases) {
    SCOPED_TRACE(tc.label);
    auto c = OptimControl::default_for_dimension(3);
    tc.edit(c);
    const auto r = c.validate_for_dimension(3);
    if (tc.message == nullptr) {
      EXPECT_TRUE(r.has_value());
      continue;
    }
    const auto e = as<err::InvalidControl>(r);
    EXPECT_EQ(e.message, tc.message);
    EXPECT_EQ(e.name, tc.name);
  }
}

TEST(OptimControl, LengthsComeFirst) {
  auto c = OptimControl::default_for_dimension(2);
  c.parscale = {1, 1, 1};
  c.fnscale = 0;
  EXPECT_EQ(as<err::DimensionMismatch>(c.validate_for_dimension(2)), (err::DimensionMismatch{"parscale", 2, 3}));
  c.parscale = {1, 1};
  c.ndeps = {1e-3};
  EXPECT_EQ(as<err::DimensionMismatch>(c.validate_for_dimension(2)), (err::DimensionMismatch{"ndeps", 2, 1}));
}

struct BoundsCase {
  const char* label;
  std::vector<double> lower, upper;
  std::size_t index;
  const char* message;
};

TEST(Bounds, CreateReportsFirstFaultyIndex) {
  const BoundsCase cases[] = {
      {"crossed", {1}, {0}, 0, "lower must be less than or equal to upper"},
      {"nan first", {nan, 5}, {0, 1}, 0, "NaN bounds are not allowed"},
      {"crossed later", {0, 2}, {1, 1}, 1, "lower must be less than or equal to upper"},
      {"nan upper", {0, 0}, {1, nan}, 1, "NaN bounds are not allowed"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.label);
    const auto b = Bounds::create(tc.lower, tc.upper);
    ASSERT_FALSE(b.has_value());
    const auto& e = std::get<err::InvalidBounds>(b.error());
    EXPECT_EQ(e.index, tc.index);
    EXPECT_EQ(e.message, tc.message);
    // The payload carries the bounds at the index, NaN included.
    EXPECT_EQ(std::isnan(*e.lower), std::isnan(tc.lower[tc.index]));
    if (!std::isnan(tc.lower[tc.index])) {
      EXPECT_EQ(*e.lower, tc.lower[tc.index]);
    }
  }
  EXPECT_TRUE(Bounds::create({0, -inf}, {1, inf}).has_value());
  EXPECT_TRUE(Bounds::create({4}, {4}).has_value());
}

TEST(Bounds, LengthChecks) {
  const auto b = Bounds::create({0, 0}, {1, 1, 1});
  EXPECT_EQ(std::get<err::DimensionMismatch>(b.error()), (err::DimensionMismatch{"bounds", 2, 3}));
  const Bounds valid{{0, 0}, {1, 1}};
  EXPECT_EQ(as<err::DimensionMismatch>(valid.validate_for_dimension(3)), (err::DimensionMismatch{"bounds", 3, 2}));
  EXPECT_TRUE(valid.validate_for_dimension(2).has_value());
}

TEST(Scaling, ConversionsRoundOncePerOperation) {
  const Scaling s{{10}, -2};
  EXPECT_EQ(*s.user_gradient_to_internal(std::vector<double>{3}), std::vector<double>{-15});
  EXPECT_EQ(s.user_to_internal_par(std::vector<double>{5}), std::vector<double>{0.5});
  EXPECT_EQ(s.internal_to_user_par(std::vector<double>{0.5}), std::vector<double>{5});
  // A true division keeps a fixed parameter fixed: 4/3 on both sides.
  const Scaling three{{3}, 1};
  const auto fixed = three.scale_bounds(Bounds{{4}, {4}});
  EXPECT_EQ(fixed.lower[0], 4.0 / 3.0);
  EXPECT_EQ(fixed.lower[0], fixed.upper[0]);
  const auto open = Scaling{{2, 2}, 1}.scale_bounds(Bounds{{-inf, 4}, {inf, 8}});
  EXPECT_EQ(open.lower, (std::vector<double>{-inf, 2}));
  EXPECT_EQ(open.upper, (std::vector<double>{inf, 4}));
  // 0.1 / 3 differs from 0.1 * (1/3) in the last bit.
  EXPECT_EQ(three.user_to_internal_par(std::vector<double>{0.1})[0], 0.1 / 3.0);
  // A finite gradient entry that overflows once scaled is not an error.
  const auto big = Scaling{{1e300}, 1}.user_gradient_to_internal(std::vector<double>{1e10});
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ((*big)[0], inf);
}

TEST(Scaling, GradientFaults) {
  const Scaling s{{1, 1, 1}, 1};
  const auto short_g = s.user_gradient_to_internal(std::vector<double>{1, 2});
  EXPECT_EQ(std::get<err::InvalidGradient>(short_g.error()),
            (err::InvalidGradient{std::nullopt, std::nullopt, "expected length 3, got 2"}));
  const auto bad = s.user_gradient_to_internal(std::vector<double>{1, nan, inf});
  const auto& e = std::get<err::InvalidGradient>(bad.error());
  EXPECT_EQ(e.index, 1u);
  EXPECT_TRUE(std::isnan(*e.value));
  EXPECT_EQ(e.message, "gradient entries must be finite");
}

TEST(Validators, InitialParameters) {
  const Bounds b{{0, -inf}, {5, inf}};
  EXPECT_TRUE(compat::validate_initial_parameters(std::vector<double>{inf, -1e308}, b).has_value());
  EXPECT_EQ(as<err::InvalidParameter>(compat::validate_initial_parameters(std::vector<double>{1, inf}, b)),
            (err::InvalidParameter{1, inf}));
  const Bounds open{{-inf}, {inf}};
  const auto nan_start = as<err::InvalidParameter>(compat::validate_initial_parameters(std::vector<double>{nan}, open));
  EXPECT_EQ(nan_start.index, 0u);
  EXPECT_TRUE(std::isnan(nan_start.value));
  const Bounds three{{0, 0, 0}, {1, 1, 1}};
  EXPECT_EQ(as<err::DimensionMismatch>(compat::validate_initial_parameters(std::vector<double>{0, 0}, three)),
            (err::DimensionMismatch{"bounds", 2, 3}));
  // The bounds' own faults come first.
  const Bounds crossed{{2}, {1}};
  EXPECT_EQ(as<err::InvalidBounds>(compat::validate_initial_parameters(std::vector<double>{nan}, crossed)).index, 0u);
}

TEST(Validators, GradientAvailability) {
  const Bounds b{{0, 0, 0, 2}, {1, 1, 1, 2}};
  EXPECT_TRUE(compat::validate_gradient_availability(b, true).has_value());
  EXPECT_EQ(as<err::InvalidBounds>(compat::validate_gradient_availability(b, false)),
            (err::InvalidBounds{3, 2.0, 2.0,
                                "finite-difference optimization requires a user gradient for fixed parameters"}));
  // -0.0 equals +0.0: a fixed parameter.
  EXPECT_EQ(as<err::InvalidBounds>(compat::validate_gradient_availability(Bounds{{-0.0}, {0.0}}, false)).index, 0u);
}

// A problem that fails on its second call.
struct CountingProblem final : BackendProblem {
  int calls = 0;
  std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) override {
    if (++calls == 2) return std::unexpected<OptimError>(err::NonFiniteValue{inf});
    return ValueAndGradient{x[0] * x[0], {2 * x[0]}};
  }
};

TEST(Evaluate, CountsOnlySuccesses) {
  namespace nb = compat_lbfgsb::backend::native;
  CountingProblem problem;
  nb::EvaluationCounts counts{3, 3};
  const std::vector<double> x{2};
  const auto ok = nb::evaluate(problem, x, counts);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->value, 4.0);
  EXPECT_EQ(counts, (nb::EvaluationCounts{4, 4}));
  const auto failed = nb::evaluate(problem, x, counts);
  EXPECT_EQ(std::get<err::NonFiniteValue>(failed.error()).value, inf);
  EXPECT_EQ(counts, (nb::EvaluationCounts{4, 4}));
}

TEST(Evaluate, ResultBuildersAndInitialError) {
  namespace nb = compat_lbfgsb::backend::native;
  std::string text(result::PGTOL_MESSAGE);
  auto r = nb::success({1, 2}, 0.5, 7, 7, text);
  text.assign("gone");
  EXPECT_EQ(r.message, "CONVERGENCE: NORM OF PROJECTED GRADIENT <= PGTOL");
  EXPECT_EQ(r.message.size(), 48u);
  EXPECT_EQ(r.convergence, 0);
  EXPECT_EQ(r.counts, (std::pair<std::size_t, std::size_t>{7, 7}));
  const auto limit = nb::iteration_limit({1}, 2.0, 3, 3);
  EXPECT_EQ(limit.message, "NEW_X");
  EXPECT_EQ(limit.convergence, 1);
  EXPECT_EQ(result::FACTR_MESSAGE.size(), 47u);
  EXPECT_EQ(result::ABNORMAL_LNSRCH_MESSAGE.size(), 37u);

  const auto converted = nb::initial_evaluation_error(err::NonFiniteValue{-inf});
  EXPECT_EQ(std::get<err::NonFiniteInitialValue>(converted).value, -inf);
  const OptimError gradient = err::InvalidGradient{std::nullopt, std::nullopt, "expected length 2, got 1"};
  EXPECT_EQ(nb::initial_evaluation_error(gradient), gradient);
}

}  // namespace

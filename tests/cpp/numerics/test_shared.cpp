// The generator, the start selection, the whole-sample factor route and response moments.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "numerics/dense.hpp"
#include "numerics/moments.hpp"
#include "numerics/multistart.hpp"
#include "numerics/stream.hpp"

namespace {

using kestrune::stream::Stream;

TEST(Stream, FollowsTheSplitMix64ReferenceOutputs) {
  // Published SplitMix64 outputs from state 0 and from state 1234567.
  Stream zero(0);
  EXPECT_EQ(zero.next(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(zero.next(), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(zero.next(), 0x06C45D188009454FULL);
  Stream other(1234567);
  EXPECT_EQ(other.next(), 6457827717110365317ULL);
  EXPECT_EQ(other.next(), 3203168211198807973ULL);
}

TEST(Stream, NormalsUseTwoOutputsRadiusFirst) {
  Stream a(42), b(42);
  const double u1 = b.uniform(), u2 = b.uniform();
  EXPECT_EQ(a.normal(), std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2));
  EXPECT_EQ(a.state(), b.state());
  // The smallest uniform is 2^-54, never 0, so ln u1 is always finite.
  EXPECT_EQ((static_cast<double>(0ULL >> 11) + 0.5) * 0x1.0p-53, 0x1.0p-54);
}

struct Record {
  double value;
  int start;
};

TEST(Moments, VarianceFromDeviationsAboutTheMean) {
  using kestrune::moments::population_moments;
  const auto plain = population_moments(Eigen::VectorXd{{2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}});
  EXPECT_EQ(plain.mean, 5.0);
  EXPECT_EQ(plain.variance, 4.0);
  // A large offset: squares about the mean keep the spread that sum(y^2) - n mean^2 would lose.
  const auto offset = population_moments(Eigen::VectorXd{{1e9 + 1.0, 1e9 + 2.0, 1e9 + 3.0}});
  EXPECT_EQ(offset.mean, 1e9 + 2.0);
  EXPECT_EQ(offset.variance, 2.0 / 3.0);
  EXPECT_TRUE(std::isnan(population_moments(Eigen::VectorXd(0)).variance));
}

TEST(Moments, StandardErrorsMapBackByTheScaleWithNegativeVariancesAsZero) {
  Eigen::MatrixXd covariance{{4.0, 9.0, 9.0}, {9.0, -1e-18, 9.0}, {9.0, 9.0, 0.25}};
  EXPECT_EQ(kestrune::moments::rescaled_standard_errors(covariance, 2.0), (std::vector<double>{4.0, 0.0, 1.0}));
  EXPECT_TRUE(kestrune::moments::rescaled_standard_errors(Eigen::MatrixXd(0, 0), 2.0).empty());
}

TEST(Multistart, KeepsTheFirstStrictlyLowerValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::optional<double>> values = {std::nullopt, nan, 3.0, 2.0, 2.0, nan, 5.0};
  const std::vector<int> starts = {0, 1, 2, 3, 4, 5, 6};
  const auto best = kestrune::multistart::best_of(starts, [&](int s) -> std::optional<Record> {
    if (!values[s]) return std::nullopt;
    return Record{*values[s], s};
  });
  ASSERT_TRUE(best);
  // A NaN record kept first is never displaced (nothing compares below it): a model that
  // refuses a non-finite end point skips it in its attempt.
  EXPECT_EQ(best->start, 1);
  const auto finite = kestrune::multistart::best_of(starts, [&](int s) -> std::optional<Record> {
    if (!values[s] || !std::isfinite(*values[s])) return std::nullopt;
    return Record{*values[s], s};
  });
  ASSERT_TRUE(finite);
  EXPECT_EQ(finite->start, 3);
  const std::vector<int> none;
  EXPECT_FALSE(kestrune::multistart::best_of(none, [](int) { return std::optional<Record>{}; }));
}

TEST(Multistart, FnscaleFromTheStartValue) {
  using kestrune::multistart::start_fnscale;
  EXPECT_EQ(start_fnscale(std::nullopt), 1e30);
  EXPECT_EQ(start_fnscale(std::numeric_limits<double>::quiet_NaN()), 1.0);
  EXPECT_EQ(start_fnscale(-250.0), 250.0);
  EXPECT_EQ(start_fnscale(0.5), 1.0);
}

struct Stopped {
  double value;
  double scaled_gradient;
};

TEST(Multistart, ARestartIsTakenForAGainOrForAFlatterTie) {
  // From (1, 1e-3) with factr 1000, so a tie is within 2.2e-13: each row is the restart's end,
  // whether it replaces the kept record, and so whether a second restart follows.
  const double tie = kestrune::multistart::rounding_tie(1.0, 1000.0);
  const std::vector<std::pair<Stopped, bool>> rows = {
      {{1.0 - 2.0 * tie, 2e-3}, true},    // lower beyond rounding, though steeper
      {{1.0 + 0.5 * tie, 1e-7}, true},    // no worse to rounding and flatter
      {{1.0 - 0.5 * tie, 2e-3}, false},   // lower only by rounding, and steeper
      {{1.0 + 2.0 * tie, 1e-7}, false},   // flatter but worse beyond rounding
  };
  for (const auto& [end, taken] : rows) {
    std::optional<Stopped> kept = Stopped{1.0, 1e-3};
    int calls = 0;
    kestrune::multistart::restart_while_gaining(
        kept, [](const Stopped&) { return std::vector<double>{1.0}; },
        [&](const std::vector<double>&, const std::vector<double>&) {
          return ++calls == 1 ? std::optional(end) : std::nullopt;
        },
        [](const Stopped&) { return false; }, 10, 1e-3, 1000.0, 50);
    EXPECT_EQ(kept->value, taken ? end.value : 1.0);
    EXPECT_EQ(calls, taken ? 2 : 1);
  }
}

TEST(Multistart, TheFlattestPointWithinRoundingOfTheLowest) {
  kestrune::multistart::Evaluated evaluated;
  EXPECT_FALSE(evaluated.flattest(1000.0));
  const double tie = kestrune::multistart::rounding_tie(2.0, 1000.0);
  evaluated.add(std::vector<double>{0.0}, 2.0, 1e-3);
  evaluated.add(std::vector<double>{1.0}, 2.0 + 0.5 * tie, 1e-5);
  evaluated.add(std::vector<double>{2.0}, 2.0 + 2.0 * tie, 1e-9);
  evaluated.add(std::vector<double>{3.0}, std::numeric_limits<double>::quiet_NaN(), 0.0);
  EXPECT_EQ(evaluated.flattest(1000.0), std::vector<double>{1.0});
}

TEST(DenseRoute, LapackAtEveryOrderAgreesWithTheSmallRoute) {
  Eigen::MatrixXd a(3, 3);
  a << 4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 2;
  const auto small = kestrune::dense::DenseFactor::make(a);
  const auto lapack = kestrune::dense::DenseFactor::make(a, kestrune::dense::DenseFactor::Route::lapack);
  ASSERT_TRUE(small && lapack);
  EXPECT_NEAR(small->logdet(), lapack->logdet(), 1e-14);
  EXPECT_LT((lapack->inverse() * a - Eigen::MatrixXd::Identity(3, 3)).norm(), 1e-14);
  Eigen::MatrixXd empty(0, 0);
  const auto zero = kestrune::dense::DenseFactor::make(empty, kestrune::dense::DenseFactor::Route::lapack);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->inverse().size(), 0);
  Eigen::MatrixXd singular = Eigen::MatrixXd::Ones(2, 2);
  EXPECT_FALSE(kestrune::dense::DenseFactor::make(singular, kestrune::dense::DenseFactor::Route::lapack));
}

}  // namespace

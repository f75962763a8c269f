// The trace: its number forms, the lines it writes and when it writes them.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "backend/native/history.hpp"
#include "backend/native/line_search.hpp"
#include "backend/native/trace.hpp"
#include "compat_lbfgsb/backend.hpp"

namespace {

namespace native = compat_lbfgsb::backend::native;
using compat_lbfgsb::BackendProblem;
using compat_lbfgsb::NativeBackend;
using compat_lbfgsb::OptimError;
using compat_lbfgsb::RunControls;
using compat_lbfgsb::ValueAndGradient;
using Vec = std::vector<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

std::string exponent(double v, int digits) {
  std::string s;
  native::append_exponent(s, v, digits);
  return s;
}

std::string shortest(double v) {
  std::string s;
  native::append_shortest(s, v);
  return s;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// A number's text as a test-name fragment: -1.5e-07 -> minus_1p5e_minus_07, since gtest
// allows only letters, digits and underscores.
std::string name_of(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '-': out += i == 0 ? "minus_" : "_minus_"; break;
      case '.': out += 'p'; break;
      case '+': break;
      default: out += text[i];
    }
  }
  return out;
}

std::string name_of(double v) {
  char buf[32];
  return name_of(std::string_view(buf, std::to_chars(buf, buf + sizeof buf, v).ptr));
}

}  // namespace

// --- Number forms ----------------------------------------------------------

struct ExponentCase {
  double value;
  int digits;
  const char* text;
};

class ExponentForm : public ::testing::TestWithParam<ExponentCase> {};

TEST_P(ExponentForm, Formats) {
  const ExponentCase& c = GetParam();
  EXPECT_EQ(exponent(c.value, c.digits), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExponentForm,
    ::testing::Values(ExponentCase{12.5, 6, "1.250000e1"}, ExponentCase{0.00012, 6, "1.200000e-4"},
                      ExponentCase{0.0, 3, "0.000e0"}, ExponentCase{-0.0, 3, "-0.000e0"},
                      ExponentCase{250.0, 3, "2.500e2"}, ExponentCase{-1.0, 6, "-1.000000e0"},
                      // correctly rounded, carrying into the exponent
                      ExponentCase{9.9996, 3, "1.000e1"}, ExponentCase{1.23456789e-300, 3, "1.235e-300"},
                      ExponentCase{1e300, 6, "1.000000e300"}, ExponentCase{5e-324, 3, "4.941e-324"},
                      ExponentCase{kNaN, 6, "NaN"}, ExponentCase{-kNaN, 3, "NaN"},
                      ExponentCase{inf, 3, "inf"}, ExponentCase{-inf, 6, "-inf"}),
    [](const ::testing::TestParamInfo<ExponentCase>& info) {
      return name_of(info.param.value) + "_digits" + std::to_string(info.param.digits);
    });

struct ShortestCase {
  double value;
  const char* text;
};

class ShortestForm : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ShortestForm, Formats) {
  const ShortestCase& c = GetParam();
  EXPECT_EQ(shortest(c.value), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShortestForm,
    ::testing::Values(ShortestCase{1.0, "1.0"}, ShortestCase{0.25, "0.25"}, ShortestCase{-3.0, "-3.0"},
                      ShortestCase{0.0001, "0.0001"}, ShortestCase{0.0, "0.0"}, ShortestCase{-0.0, "-0.0"},
                      ShortestCase{1e-5, "1e-5"}, ShortestCase{1.5e-7, "1.5e-7"}, ShortestCase{1e16, "1e16"},
                      ShortestCase{2.5e20, "2.5e20"}, ShortestCase{9999999999999998.0, "9999999999999998.0"},
                      ShortestCase{123.456, "123.456"}, ShortestCase{0.1 + 0.2, "0.30000000000000004"},
                      ShortestCase{-0.00012, "-0.00012"}, ShortestCase{1e100, "1e100"},
                      ShortestCase{kNaN, "NaN"}, ShortestCase{inf, "inf"}, ShortestCase{-inf, "-inf"}),
    // Named by the text: an all-digit name such as "1" would be replaced by the raw
    // parameter bytes when CTest discovers the tests.
    [](const ::testing::TestParamInfo<ShortestCase>& info) { return name_of(info.param.text); });

TEST(VectorForm, BracketsAndSeparators) {
  std::string s;
  native::append_vector(s, Vec{1.0, 0.00001});
  EXPECT_EQ(s, "[1.0, 1e-5]");
  s.clear();
  native::append_vector(s, Vec{});
  EXPECT_EQ(s, "[]");
  s.clear();
  native::append_vector(s, Vec{-0.0, kNaN, 42.0});
  EXPECT_EQ(s, "[-0.0, NaN, 42.0]");
}

// --- Lines ---------------------------------------------------------------

namespace {

native::AcceptedStep sample_step() {
  return native::AcceptedStep{{1.0, 0.00001}, {-0.5, 2.5e20}, 12.5, 3, 0.25, 1.0, 0.0, 0.9, true};
}

std::string traced(std::size_t iteration, std::size_t trace, std::size_t report) {
  RunControls controls;
  controls.trace = trace;
  controls.report = report;
  testing::internal::CaptureStderr();
  native::maybe_trace(iteration, sample_step(), controls, 12.5, 0.00012, 250.0);
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(IterationLine, ExactText) {
  const std::string line =
      "iter=20 f=1.250000e1 rel_red=1.200e-4 ||proj_grad||_inf=2.500e2 line_search=3 "
      "alpha=2.500000e-1 max_alpha=1.000000e0 step_norm=0.000000e0 wolfe_curv=true "
      "curvature_ratio=9.000e-1\n";
  EXPECT_EQ(traced(20, 1, 10), line);
  EXPECT_EQ(traced(20, 2, 10), line + "x=[1.0, 1e-5]\ngradient=[-0.5, 2.5e20]\n");
}

struct WhenCase {
  std::size_t iteration, trace, report;
  bool writes;
};

class IterationLineWhen : public ::testing::TestWithParam<WhenCase> {};

TEST_P(IterationLineWhen, OnlyOnReportingIterations) {
  const WhenCase& c = GetParam();
  EXPECT_EQ(!traced(c.iteration, c.trace, c.report).empty(), c.writes);
}

INSTANTIATE_TEST_SUITE_P(Table, IterationLineWhen,
                         ::testing::Values(WhenCase{10, 0, 10, false}, WhenCase{10, 1, 0, false},
                                           WhenCase{11, 1, 10, false}, WhenCase{30, 1, 10, true},
                                           WhenCase{7, 2, 1, true}, WhenCase{7, 3, 0, false}),
                         [](const ::testing::TestParamInfo<WhenCase>& info) {
                           const WhenCase& c = info.param;
                           return "iteration" + std::to_string(c.iteration) + "_trace" + std::to_string(c.trace) +
                                  "_report" + std::to_string(c.report);
                         });

TEST(CauchyPointLine, ExactTextAndLevel) {
  // x = 2, g = 4, no history, no bounds: the Cauchy point and the subspace
  // point are both x - g = -2.
  RunControls controls;
  controls.trace = 2;
  const Vec x{2.0}, g{4.0}, lower{-inf}, upper{inf};
  const std::vector<native::Correction> history;
  testing::internal::CaptureStderr();
  native::maybe_trace_cauchy_point(x, g, lower, upper, history, controls);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "gcp_active=0 gcp_step_inf=4.000e0 subspace_free=1 subspace_step_inf=4.000e0 "
            "subspace_clipped=false\n");

  // Both variables end on a bound: no free variable for the subspace step.
  const Vec x2{0.5, 0.5}, g2{1.0, -1.0}, lower2{0.0, 0.0}, upper2{1.0, 1.0};
  testing::internal::CaptureStderr();
  native::maybe_trace_cauchy_point(x2, g2, lower2, upper2, history, controls);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "gcp_active=2 gcp_step_inf=5.000e-1 subspace_free=0 subspace_step_inf=5.000e-1 "
            "subspace_clipped=false\n");

  // A pair of curvature 1e-13 makes the reduced Hessian's pivot fall below
  // the floor: the subspace step is absent.
  const std::vector<native::Correction> flat{{{1.0}, {1e-13}, 1e13}};
  const Vec x3{0.0}, g3{1.0};
  testing::internal::CaptureStderr();
  native::maybe_trace_cauchy_point(x3, g3, lower, upper, flat, controls);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "gcp_active=0 gcp_step_inf=1.000e13 subspace_free=0 subspace_step_inf=NaN "
            "subspace_clipped=false\n");

  controls.trace = 1;
  testing::internal::CaptureStderr();
  native::maybe_trace_cauchy_point(x, g, lower, upper, history, controls);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// --- Trace of whole runs -----------------------------------------------------

namespace {

struct Rosenbrock final : BackendProblem {
  std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) override {
    double f = 0.0;
    Vec g(x.size(), 0.0);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
      const double a = x[i + 1] - x[i] * x[i];
      const double b = 1.0 - x[i];
      f += 100.0 * a * a + b * b;
      g[i] += -400.0 * x[i] * a - 2.0 * b;
      g[i + 1] += 200.0 * a;
    }
    return ValueAndGradient{f, std::move(g)};
  }
};

std::string traced_rosenbrock(std::size_t trace, std::size_t report) {
  Rosenbrock problem;
  RunControls controls;
  controls.has_gradient = true;
  controls.maxit = 23;  // 24 iterations, far from converged
  controls.trace = trace;
  controls.report = report;
  Vec x0(10);
  for (std::size_t i = 0; i < x0.size(); ++i) x0[i] = i % 2 == 0 ? -1.2 : 1.0;
  const Vec lower(10, -inf), upper(10, inf);
  testing::internal::CaptureStderr();
  const auto r = NativeBackend{}.minimize(problem, x0, lower, upper, controls);
  std::string text = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 1);
  return text;
}

}  // namespace

TEST(RunTrace, LevelOneWritesEveryReportThIteration) {
  const std::vector<std::string> lines = lines_of(traced_rosenbrock(1, 10));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(starts_with(lines[0], "iter=10 f=")) << lines[0];
  EXPECT_TRUE(starts_with(lines[1], "iter=20 f=")) << lines[1];
  EXPECT_NE(lines[1].find(" curvature_ratio="), std::string::npos);
}

TEST(RunTrace, LevelZeroWritesNothing) { EXPECT_EQ(traced_rosenbrock(0, 10), ""); }

TEST(RunTrace, LevelTwoOrderWithinIterations) {
  const std::vector<std::string> lines = lines_of(traced_rosenbrock(2, 1));
  ASSERT_EQ(lines.size(), 24u * 4u);
  for (std::size_t k = 0; k < 24; ++k) {
    EXPECT_TRUE(starts_with(lines[4 * k], "gcp_active=")) << k;
    EXPECT_TRUE(starts_with(lines[4 * k + 1], "iter=" + std::to_string(k + 1) + " f=")) << k;
    EXPECT_TRUE(starts_with(lines[4 * k + 2], "x=[")) << k;
    EXPECT_TRUE(starts_with(lines[4 * k + 3], "gradient=[")) << k;
  }
  // report = 0 keeps only the Cauchy-point lines.
  const std::vector<std::string> quiet = lines_of(traced_rosenbrock(2, 0));
  ASSERT_EQ(quiet.size(), 24u);
  for (const std::string& line : quiet) EXPECT_TRUE(starts_with(line, "gcp_active=")) << line;
}

// f = x^2 whose gradient has the wrong sign below x = 1.5: the first step
// (2 -> 1) is accepted, the next search fails with one stored pair, the
// memory is refreshed, and the second failure ends the run with code 52.
TEST(RunTrace, MemoryRefreshLine) {
  struct Misleading final : BackendProblem {
    std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) override {
      return ValueAndGradient{x[0] * x[0], {x[0] >= 1.5 ? 2.0 * x[0] : -2.0 * x[0]}};
    }
  } problem;
  RunControls controls;
  controls.has_gradient = true;
  controls.trace = 2;
  controls.report = 0;
  testing::internal::CaptureStderr();
  const auto r = NativeBackend{}.minimize(problem, Vec{2.0}, Vec{-inf}, Vec{inf}, controls);
  const std::vector<std::string> lines = lines_of(testing::internal::GetCapturedStderr());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 52);
  EXPECT_EQ(r->par, (Vec{1.0}));
  EXPECT_EQ(r->value, 1.0);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{42, 42}));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            "gcp_active=0 gcp_step_inf=4.000e0 subspace_free=1 subspace_step_inf=4.000e0 "
            "subspace_clipped=false");
  EXPECT_TRUE(starts_with(lines[1], "gcp_active=0 ")) << lines[1];
  EXPECT_EQ(lines[2], "lbfgs_memory_refresh=line_search");
  EXPECT_TRUE(starts_with(lines[3], "gcp_active=0 ")) << lines[3];
}

// Generalized Cauchy point and subspace minimisation, against dense models
// evaluated independently in the test.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "backend/native/cauchy.hpp"
#include "backend/native/subspace.hpp"

namespace {

namespace native = compat_lbfgsb::backend::native;
using Vec = std::vector<double>;
using Matrix = std::vector<Vec>;
constexpr double inf = std::numeric_limits<double>::infinity();

// v -> B v for a dense B, counting its calls.
struct Dense {
  Matrix b;
  int calls = 0;
  native::HessianProduct product() {
    return [this](std::span<const double> v) {
      ++calls;
      Vec r(v.size(), 0.0);
      for (std::size_t i = 0; i < v.size(); ++i)
        for (std::size_t j = 0; j < v.size(); ++j) r[i] += b[i][j] * v[j];
      return r;
    };
  }
};

Matrix identity(std::size_t n) {
  Matrix m(n, Vec(n, 0.0));
  for (std::size_t i = 0; i < n; ++i) m[i][i] = 1.0;
  return m;
}

// m(p) = g'(p - x) + 1/2 (p - x)' B (p - x)
double model(const Matrix& b, const Vec& x, const Vec& g, const Vec& p) {
  double value = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    value += g[i] * (p[i] - x[i]);
    for (std::size_t j = 0; j < x.size(); ++j) value += 0.5 * (p[i] - x[i]) * b[i][j] * (p[j] - x[j]);
  }
  return value;
}

Vec path(const Vec& x, const Vec& g, const Vec& lower, const Vec& upper, double t) {
  Vec p(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    p[i] = lower[i] == upper[i] ? lower[i] : std::fmin(std::fmax(x[i] - t * g[i], lower[i]), upper[i]);
  }
  return p;
}

}  // namespace

TEST(CauchyPoint, FixedZeroGradientAndEmptyProblems) {
  Dense dense{identity(2)};
  const auto fixed = native::generalized_cauchy_point_with_hessian(
      Vec{0.3, 7.0}, Vec{1.0, -2.0}, Vec{1.0, 2.0}, Vec{1.0, 2.0}, dense.product());
  EXPECT_EQ(fixed.point, (Vec{1.0, 2.0}));
  EXPECT_EQ(fixed.active, 2u);
  EXPECT_EQ(dense.calls, 0);

  const auto still = native::generalized_cauchy_point_with_hessian(
      Vec{0.5, 4.0}, Vec{0.0, 0.0}, Vec{0.0, 3.0}, Vec{1.0, 3.0}, dense.product());
  EXPECT_EQ(still.point, (Vec{0.5, 3.0}));
  EXPECT_EQ(still.active, 1u);

  const auto none = native::generalized_cauchy_point_limited_memory_with_activity(Vec{}, Vec{}, Vec{}, Vec{}, {});
  EXPECT_TRUE(none.point.empty());
  EXPECT_EQ(none.active, 0u);
}

TEST(CauchyPoint, IdentityModelWithoutBreakpointBelowOne) {
  // B = I: the first pass has dt_min = 1 exactly, so free variables land on x - g.
  const auto c = native::generalized_cauchy_point_limited_memory_with_activity(
      Vec{0.25, -1.0, 3.0}, Vec{0.5, -0.75, 2.0}, Vec{-inf, -5.0, 0.0}, Vec{inf, inf, 10.0}, {});
  EXPECT_EQ(c.point, (Vec{-0.25, -0.25, 1.0}));
  EXPECT_EQ(c.active, 0u);
}

// One Hessian product per pass: breakpoints within 1e-12 of the group's first
// time are frozen in one pass, each keeping the value that step gave it even
// off its bound.
TEST(CauchyPoint, BreakpointGrouping) {
  for (const auto& [gap, passes] : {std::pair{5e-13, 2}, std::pair{2e-12, 3}}) {
    Dense dense{identity(3)};
    const Vec x{0.5, 0.5 + gap, 0.0}, g{1.0, 1.0, 1e-3};
    const Vec lower{0.0, 0.0, -inf}, upper{1.0, 1.0, inf};
    const auto c = native::generalized_cauchy_point_with_hessian(x, g, lower, upper, dense.product());
    EXPECT_EQ(dense.calls, passes) << gap;
    EXPECT_EQ(c.active, 2u);
    EXPECT_EQ(c.point[0], 0.0);
    EXPECT_EQ(c.point[1], passes == 2 ? x[1] - 0.5 : 0.0) << gap;
  }
}

TEST(CauchyPoint, NegativeCurvatureStopsAtTheLastBreakpoint) {
  Dense dense{{{-1.0, 0.0}, {0.0, -1.0}}};
  const auto c = native::generalized_cauchy_point_with_hessian(
      Vec{0.5, 0.0}, Vec{1.0, 1.0}, Vec{0.0, -inf}, Vec{1.0, inf}, dense.product());
  EXPECT_EQ(c.point, (Vec{0.0, -0.5}));
  EXPECT_EQ(c.active, 1u);
  Dense flat{{{-1.0}}};
  const auto stays = native::generalized_cauchy_point_with_hessian(Vec{2.0}, Vec{1.0}, Vec{-inf}, Vec{inf},
                                                                   flat.product());
  EXPECT_EQ(stays.point, (Vec{2.0}));
}

// On random SPD models the result is the first local minimiser along the
// projected path: the model does not increase on [0, t*] nor right after t*.
TEST(CauchyPoint, FirstLocalMinimiserOfRandomModels) {
  std::uint64_t state = 12345;
  const auto uniform = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53;
  };
  for (int trial = 0; trial < 20; ++trial) {
    const std::size_t n = 5;
    Matrix a(n, Vec(n)), b(n, Vec(n, 0.0));
    for (auto& row : a)
      for (double& v : row) v = uniform() - 0.5;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k < n; ++k) b[i][j] += a[k][i] * a[k][j];
        if (i == j) b[i][j] += 0.1;
      }
    Vec x(n), g(n), lower(n), upper(n);
    for (std::size_t i = 0; i < n; ++i) {
      lower[i] = -uniform();
      upper[i] = uniform();
      x[i] = lower[i] + (upper[i] - lower[i]) * uniform();
      g[i] = 4.0 * (uniform() - 0.5);
    }
    lower[0] = -inf;  // variable 0 never stops, so it tells the path time t*
    upper[0] = inf;
    Dense dense{b};
    const auto c = native::generalized_cauchy_point_with_hessian(x, g, lower, upper, dense.product());
    const double t_star = (x[0] - c.point[0]) / g[0];
    const Vec expected = path(x, g, lower, upper, t_star);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(c.point[i], expected[i], 1e-12) << trial;
    const double m_star = model(b, x, g, c.point);
    for (int k = 0; k <= 50; ++k) {
      const double t = t_star * k / 50.0;
      EXPECT_GE(model(b, x, g, path(x, g, lower, upper, t)), m_star - 1e-12) << trial << " t " << t;
    }
    EXPECT_GE(model(b, x, g, path(x, g, lower, upper, t_star * 1.001 + 1e-9)), m_star - 1e-12) << trial;
  }
}

// --- Subspace minimisation -----------------------------------------------------

TEST(Subspace, FreeTest) {
  const Vec lower{0.0, 0.0, 1.0, -inf}, upper{1.0, 1.0, 1.0, inf};
  EXPECT_EQ(native::free_indices_with_activity(Vec{5e-13, 2e-12, 1.0, 1e300}, lower, upper),
            (std::vector<std::size_t>{1, 3}));
  EXPECT_EQ(native::free_indices_with_activity(Vec{1.0 - 5e-13, 1.0 - 2e-12, 1.0, 0.0}, lower, upper),
            (std::vector<std::size_t>{1, 3}));
}

TEST(Subspace, NothingFreeCostsNoProduct) {
  Dense dense{identity(2)};
  const auto s = native::subspace_minimizer_with_hessian_and_activity(
      Vec{0.5, 0.5}, Vec{1.0, -1.0}, Vec{0.0, 0.0}, Vec{1.0, 1.0}, Vec{0.0, 1.0}, dense.product());
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->point, (Vec{0.0, 1.0}));
  EXPECT_EQ(s->free, 0u);
  EXPECT_FALSE(s->clipped);
  EXPECT_EQ(dense.calls, 0);
}

TEST(Subspace, IdentityModelAndClipping) {
  // Empty history: free variables move to x - g; the Newton step of the
  // second case would leave [0, 1], so it is cut at the bound.
  const auto inside = native::subspace_minimizer_limited_memory_with_activity(
      Vec{0.5, 0.0}, Vec{0.25, 0.5}, Vec{0.0, 0.0}, Vec{1.0, 1.0}, {}, Vec{0.25, 0.0});
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ(inside->point, (Vec{0.25, 0.0}));
  EXPECT_EQ(inside->free, 1u);
  EXPECT_FALSE(inside->clipped);

  Dense dense{{{2.0, 0.0}, {0.0, 0.5}}};
  const auto cut = native::subspace_minimizer_with_hessian_and_activity(
      Vec{0.5, 0.5}, Vec{-1.0, -1.0}, Vec{0.0, 0.0}, Vec{1.0, 1.0}, Vec{0.5, 0.5}, dense.product());
  ASSERT_TRUE(cut.has_value());
  // Newton step (0.5, 2) from (0.5, 0.5): the second variable limits alpha to 0.25.
  EXPECT_EQ(cut->point, (Vec{0.625, 1.0}));
  EXPECT_EQ(cut->free, 2u);
  EXPECT_TRUE(cut->clipped);
}

TEST(Subspace, PivotFloor) {
  for (const auto& [pivot, present] : {std::pair{1e-12, false}, std::pair{2e-12, true},
                                        std::pair{-1.0, false}, std::pair{inf, false}}) {
    Dense dense{{{pivot}}};
    const auto s = native::subspace_minimizer_with_hessian_and_activity(Vec{0.0}, Vec{1e-12}, Vec{-inf},
                                                                        Vec{inf}, Vec{0.0}, dense.product());
    EXPECT_EQ(s.has_value(), present) << pivot;
  }
}

// Unclipped, the subspace point zeroes the model gradient on the free
// variables and leaves the others where the Cauchy point put them.
TEST(Subspace, ReducedGradientVanishes) {
  const Matrix b{{4.0, 1.0, 0.5}, {1.0, 3.0, 0.25}, {0.5, 0.25, 2.0}};
  const Vec x{0.0, 0.0, 0.0}, g{-1.0, 0.5, 2.0}, lower{-10.0, -10.0, -1.0}, upper{10.0, 10.0, 10.0};
  const Vec cauchy{0.2, -0.1, -1.0};
  Dense dense{b};
  const auto s = native::subspace_minimizer_with_hessian_and_activity(x, g, lower, upper, cauchy,
                                                                      dense.product());
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->free, 2u);
  EXPECT_FALSE(s->clipped);
  EXPECT_EQ(s->point[2], -1.0);
  for (std::size_t i = 0; i < 2; ++i) {
    double grad = g[i];
    for (std::size_t j = 0; j < 3; ++j) grad += b[i][j] * (s->point[j] - x[j]);
    EXPECT_NEAR(grad, 0.0, 1e-14) << i;
  }
}

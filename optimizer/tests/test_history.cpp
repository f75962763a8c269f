// Correction history and the limited-memory products built on it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "backend/native/history.hpp"
#include "backend/native/kernels.hpp"
#include "backend/native/products.hpp"

namespace {

using namespace compat_lbfgsb::backend::native;
using V = std::vector<double>;
using Matrix = std::vector<V>;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

// ---- history ---------------------------------------------------------------

TEST(UpdateHistory, StoresWithRhoAndKeepsNewestM) {
  CorrectionHistory h;
  update_history(h, 5, V{1, 0}, V{4, 1}, V{-1, 0});
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].rho, 0.25);
  EXPECT_EQ(h[0].y, (V{4, 1}));
  for (int k = 2; k <= 6; ++k) update_history(h, 5, V{double(k)}, V{1.0}, V{-1.0});
  ASSERT_EQ(h.size(), 5u);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(h[k].s[0], k + 2.0) << k;

  CorrectionHistory one;
  for (int k = 1; k <= 3; ++k) update_history(one, 1, V{double(k)}, V{1.0}, V{-1.0});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].s[0], 3.0);
  EXPECT_EQ(one[0].rho, 1.0 / 3.0);
}

struct OfferCase {
  const char* label;
  V s, y, g;
  bool stored;
};

TEST(UpdateHistory, CurvatureTest) {
  const OfferCase cases[] = {
      {"s.y zero", {1, 0}, {0, 5}, {-1, 0}, false},
      {"s.y negative", {1}, {-1}, {-1}, false},
      // g.s = -1: the threshold is EPSMCH, and equality discards.
      {"at threshold", {1}, {EPSMCH}, {-1}, false},
      {"above threshold", {1}, {2 * EPSMCH}, {-1}, true},
      // s.y = 1e-10 clears EPSMCH*|g.s| but not EPSMCH*||s||*||y|| ~ 2.2e-10.
      {"descent threshold", {1, 0}, {1e-10, 1e6}, {-1, 0}, true},
      {"ascent falls back", {1, 0}, {1e-10, 1e6}, {1, 0}, false},
      {"empty g falls back", {1, 0}, {1e-10, 1e6}, {}, false},
      {"nan g.s falls back", {1, 0}, {1e-10, 1e6}, {nan, 0}, false},
      {"infinite g.s falls back", {1, 0}, {1e-10, 1e6}, {-inf, 0}, false},
      // Non-finite curvature would store rho NaN or 0: refused.
      {"nan s.y", {1}, {nan}, {-1}, false},
      {"infinite s.y", {1}, {inf}, {-1}, false},
      {"overflowing s.y", {1e200}, {1e200}, {-1}, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.label);
    CorrectionHistory h;
    update_history(h, 3, tc.s, tc.y, tc.g);
    EXPECT_EQ(h.size(), tc.stored ? 1u : 0u);
    for (const auto& c : h) EXPECT_TRUE(std::isfinite(c.rho) && c.rho > 0.0);
  }
}

TEST(UpdateHistory, RefusedPairLeavesFullHistoryAlone) {
  CorrectionHistory h;
  for (int k = 1; k <= 2; ++k) update_history(h, 2, V{double(k)}, V{1.0}, V{-1.0});
  update_history(h, 2, V{1.0}, V{-1.0}, V{-1.0});
  update_history(h, 2, V{1.0}, V{nan}, V{-1.0});
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].s[0], 1.0);
  EXPECT_EQ(h[1].s[0], 2.0);
}

// ---- projection ------------------------------------------------------------

TEST(ProjectDirection, Rule) {
  struct Case {
    const char* label;
    double x, lower, upper, d, projected;
  };
  const Case cases[] = {
      {"near lower, out", 5e-13, 0, 1, -1, 0},     {"off lower", 2e-12, 0, 1, -1, -1},
      {"at lower, in", 0, 0, 1, 1, 1},             {"near upper, out", 1 - 5e-13, 0, 1, 1, 0},
      {"fixed elsewhere", 7, 2, 2, 1, 0},          {"infinite bounds", 0, -inf, inf, -1, -1},
      {"nan x keeps d", nan, 0, 1, -1, -1},        {"fixed nan d", 2, 2, 2, nan, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    V d{c.d};
    project_direction(V{c.x}, V{c.lower}, V{c.upper}, d);
    EXPECT_EQ(d[0], c.projected);
  }
  V d{nan};
  project_direction(V{0.5}, V{0}, V{1}, d);
  EXPECT_TRUE(std::isnan(d[0]));
}

// ---- dense references --------------------------------------------------------

V mat_vec(const Matrix& a, const V& v) {
  V r(v.size(), 0.0);
  for (std::size_t i = 0; i < v.size(); ++i)
    for (std::size_t j = 0; j < v.size(); ++j) r[i] += a[i][j] * v[j];
  return r;
}

double plain_dot(const V& a, const V& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

Matrix scaled_identity(std::size_t n, double c) {
  Matrix m(n, V(n, 0.0));
  for (std::size_t i = 0; i < n; ++i) m[i][i] = c;
  return m;
}

// B_k = B - (Bs)(Bs)'/(s'Bs) + yy'/(y's) from B_0 = theta I.
Matrix dense_bfgs(const CorrectionHistory& h, double theta, std::size_t n) {
  Matrix b = scaled_identity(n, theta);
  for (const auto& c : h) {
    const V bs = mat_vec(b, c.s);
    const double sbs = plain_dot(c.s, bs);
    const double ys = plain_dot(c.y, c.s);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) b[i][j] += -bs[i] * bs[j] / sbs + c.y[i] * c.y[j] / ys;
  }
  return b;
}

// H_k = (I - rho s y') H (I - rho y s') + rho s s' from H_0 = gamma I.
Matrix dense_inverse_bfgs(const CorrectionHistory& h, double gamma, std::size_t n) {
  Matrix hm = scaled_identity(n, gamma);
  for (const auto& c : h) {
    Matrix v = scaled_identity(n, 1.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) v[i][j] -= c.rho * c.y[i] * c.s[j];
    Matrix next(n, V(n, 0.0));
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k)
          for (std::size_t l = 0; l < n; ++l) sum += v[k][i] * hm[k][l] * v[l][j];
        next[i][j] = sum + c.rho * c.s[i] * c.s[j];
      }
    hm = next;
  }
  return hm;
}

double relative_error(const V& a, const V& b) {
  double diff = 0.0, scale = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff = std::fmax(diff, std::fabs(a[i] - b[i]));
    scale = std::fmax(scale, std::fabs(b[i]));
  }
  return diff / scale;
}

// Pairs from a quadratic with SPD Hessian, offered through update_history.
CorrectionHistory random_history(std::mt19937_64& rng, std::size_t n, std::size_t m, std::size_t offered) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix a(n, V(n));
  for (auto& row : a)
    for (auto& e : row) e = u(rng);
  Matrix spd = scaled_identity(n, double(n));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      for (std::size_t k = 0; k < n; ++k) spd[i][j] += a[k][i] * a[k][j];
  CorrectionHistory h;
  for (std::size_t p = 0; p < offered; ++p) {
    V s(n);
    for (auto& e : s) e = u(rng);
    V g(n);
    for (std::size_t i = 0; i < n; ++i) g[i] = -s[i];
    update_history(h, m, s, mat_vec(spd, s), g);
  }
  return h;
}

TEST(LbfgsProducts, AgreeWithDenseRecursions) {
  std::mt19937_64 rng(20261207);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const std::size_t dims[] = {1, 3, 6, 9};
  const std::size_t offered[] = {1, 3, 7, 7};
  for (std::size_t t = 0; t < 4; ++t) {
    const std::size_t n = dims[t];
    SCOPED_TRACE(n);
    const CorrectionHistory h = random_history(rng, n, 4, offered[t]);
    ASSERT_EQ(h.size(), std::min<std::size_t>(offered[t], 4));
    const auto& newest = h.back();
    const double sy = plain_dot(newest.s, newest.y);
    const double yy = plain_dot(newest.y, newest.y);
    const Matrix b = dense_bfgs(h, yy / sy, n);
    const Matrix hinv = dense_inverse_bfgs(h, sy / yy, n);
    V v(n);
    for (auto& e : v) e = u(rng);
    EXPECT_LT(relative_error(lbfgs_hessian_product(v, h), mat_vec(b, v)), 1e-12);
    // Secant condition on the newest pair.
    EXPECT_LT(relative_error(lbfgs_hessian_product(newest.s, h), newest.y), 1e-12);
    // Interior point, open box: the direction is -H g unprojected.
    const V x(n, 0.0), lower(n, -inf), upper(n, inf);
    V expected = mat_vec(hinv, v);
    for (auto& e : expected) e = -e;
    EXPECT_LT(relative_error(projected_lbfgs_direction(x, v, lower, upper, h), expected), 1e-12);
  }
}

TEST(LbfgsProducts, OnePairExample) {
  const CorrectionHistory h{{V{1}, V{2}, 0.5}};
  EXPECT_EQ(lbfgs_hessian_product(V{1}, h), V{2});
  EXPECT_EQ(projected_lbfgs_direction(V{0}, V{4}, V{-inf}, V{inf}, h), V{-2});
}

TEST(LbfgsProducts, EmptyHistoryAndEmptyVectors) {
  const CorrectionHistory none;
  EXPECT_EQ(lbfgs_hessian_product(V{3, -1}, none), (V{3, -1}));
  const V x{0, 1}, g{2, -3}, lower{0, 0}, upper{1, 1};
  EXPECT_EQ(projected_lbfgs_direction(x, g, lower, upper, none), (V{0, 0}));
  EXPECT_EQ(projected_lbfgs_direction(V{0.5, 0.5}, g, lower, upper, none),
            steepest_projected_direction(V{0.5, 0.5}, g, lower, upper));
  const CorrectionHistory empty_pair{{V{}, V{}, 1.0}};
  EXPECT_TRUE(lbfgs_hessian_product(V{}, empty_pair).empty());
  EXPECT_TRUE(projected_lbfgs_direction(V{}, V{}, V{}, V{}, empty_pair).empty());
  EXPECT_TRUE(steepest_projected_direction(V{}, V{}, V{}, V{}).empty());
}

TEST(LbfgsProducts, ScalingFallbacksAndSkippedPairs) {
  // y'y infinite: theta = 1 in the product, gamma = 1e-20 in the recursion.
  const CorrectionHistory huge{{V{1, 0}, V{1e200, 0}, 1e-200}};
  EXPECT_EQ(lbfgs_hessian_product(V{0, 1}, huge), (V{0, 1}));
  EXPECT_EQ(projected_lbfgs_direction(V{0, 0}, V{0, 1}, V{-inf, -inf}, V{inf, inf}, huge)[1], -1e-20);
  // y'y = 0: gamma = 1, so the direction is -(3 + 3).
  const CorrectionHistory flat{{V{1}, V{0}, 1.0}};
  EXPECT_EQ(projected_lbfgs_direction(V{0}, V{3}, V{-inf}, V{inf}, flat), V{-6});
  // s'y < 0: theta = 1.
  const CorrectionHistory negative{{V{1, 0}, V{-2, 0}, -0.5}};
  EXPECT_EQ(lbfgs_hessian_product(V{0, 1}, negative), (V{0, 1}));
  // The newest pair's curvature under the model is -1: it is left out, yet
  // theta = 2 still comes from it. B v = 2 - 3 = -1.
  const CorrectionHistory skipped{{V{1}, V{-1}, -1.0}, {V{1}, V{2}, 0.5}};
  EXPECT_EQ(lbfgs_hessian_product(V{1}, skipped), V{-1});
}

}  // namespace

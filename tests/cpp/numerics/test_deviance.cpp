// Family blocks, the boundary p-value and chi-square upper tails.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "numerics/blocks.hpp"
#include "numerics/deviance.hpp"

namespace {

using kestrune::blocks::Block;
using kestrune::blocks::family_blocks;
using kestrune::deviance::chi2_upper_tail;
using kestrune::deviance::p_value;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct Link {
  int row;
  int col;
  double value;
};

Eigen::MatrixXd pattern(int n, std::vector<Link> links, double diagonal = 1.0) {
  Eigen::MatrixXd k = Eigen::MatrixXd::Zero(n, n);
  k.diagonal().setConstant(diagonal);
  for (const auto& link : links) k(link.row, link.col) = link.value;
  return k;
}

struct BlocksCase {
  const char* name;
  Eigen::MatrixXd k;
  std::vector<Block> expected;
};

TEST(FamilyBlocks, PatternsGiveTheirComponents) {
  const std::vector<BlocksCase> cases = {
      {"empty", Eigen::MatrixXd(0, 0), {}},
      {"identity", pattern(4, {}), {{0}, {1}, {2}, {3}}},
      {"transitive chain", pattern(3, {{0, 1, 0.5}, {1, 0, 0.5}, {1, 2, 0.25}, {2, 1, 0.25}}),
       {{0, 1, 2}}},
      {"interleaved", pattern(4, {{0, 2, 0.5}, {2, 0, 0.5}, {1, 3, 0.5}, {3, 1, 0.5}}),
       {{0, 2}, {1, 3}}},
      {"zero diagonal", pattern(3, {{0, 2, 0.5}, {2, 0, 0.5}}, 0.0), {{0, 2}, {1}}},
      {"row link only forward", pattern(2, {{0, 1, 0.5}}), {{0, 1}}},
      {"row link only backward", pattern(2, {{1, 0, 0.5}}), {{0}, {1}}},
      {"NaN links", pattern(3, {{2, 0, nan}, {0, 2, nan}}), {{0, 2}, {1}}},
      {"negative zero does not link", pattern(2, {{0, 1, -0.0}, {1, 0, -0.0}}), {{0}, {1}}},
      // 4 reaches 0 only through 2 and 1; every block comes out sorted.
      {"deep chain", pattern(5, {{0, 3, 1}, {3, 0, 1}, {3, 4, 1}, {4, 3, 1}, {4, 1, 1},
                                 {1, 4, 1}}),
       {{0, 1, 3, 4}, {2}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(family_blocks(c.k), c.expected) << c.name;
  }
}

TEST(FamilyBlocks, EveryIndexInExactlyOneBlockOfALargePattern) {
  // Families of sizes 1..6 laid out interleaved: index i belongs to family i % 7.
  const int n = 70;
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(n, n);
  for (int i = 0; i + 7 < n; ++i) {
    if (i % 7 == 0) continue;  // family 0: singletons
    k(i, i + 7) = k(i + 7, i) = 0.25;
  }
  const auto blocks = family_blocks(k);
  ASSERT_EQ(blocks.size(), 10u + 6u);
  // Read down columns, a symmetric matrix gives the very same blocks.
  EXPECT_EQ(kestrune::blocks::family_blocks_symmetric(k), blocks);
  std::vector<int> seen(n, 0);
  std::size_t previous_first = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (b > 0) {
      EXPECT_GT(blocks[b].front(), previous_first);
    }
    previous_first = blocks[b].front();
    for (std::size_t m = 0; m < blocks[b].size(); ++m) {
      if (m > 0) {
        EXPECT_LT(blocks[b][m - 1], blocks[b][m]);
      }
      ++seen[blocks[b][m]];
      EXPECT_EQ(blocks[b][m] % 7, blocks[b].front() % 7);
    }
  }
  for (int i = 0; i < n; ++i) EXPECT_EQ(seen[i], 1) << i;
}

TEST(BoundaryPValue, CutClampAndKnownQuantiles) {
  const std::vector<std::pair<double, double>> cases = {
      {0.0, 1.0},
      {-3.0, 1.0},
      {-inf, 1.0},
      {9.99e-7, 1.0},
      {1e-6, 0.49960105778608893},
      {2.705543454095404, 0.05},
      {3.841458820694124, 0.025},
      {10.0, 0.0007827011290012745},
      {inf, 0.0},
  };
  for (const auto& [statistic, expected] : cases) {
    EXPECT_NEAR(p_value(statistic), expected, 1e-13 * std::fmax(expected, 1e-3)) << statistic;
  }
  EXPECT_EQ(p_value(-1.0), 1.0);
  EXPECT_TRUE(std::isnan(p_value(nan)));
}

TEST(ChiSquareUpperTail, AgreesWithReferenceValues) {
  struct Case {
    double x, df, expected;
  };
  // References from scipy.stats.chi2.sf.
  const std::vector<Case> cases = {
      {3.841458820694124, 1, 0.05},
      {3.0, 3, 0.3916251762710877},
      {1.3, 0.5, 0.11800438224444432},
      {12.0, 7.5, 0.12438158592173447},
      {0.01, 1, 0.920344325445942},
      {50.0, 1, 1.537459794428033e-12},
      {100.0, 4, 9.836624224615988e-21},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(chi2_upper_tail(c.x, c.df), c.expected, 1e-12 * c.expected)
        << c.x << " " << c.df;
  }
}

TEST(ChiSquareUpperTail, ClosedFormsAndEdges) {
  for (const double df : {0.5, 1.0, 2.0, 3.0, 17.0, nan}) {
    EXPECT_EQ(chi2_upper_tail(0.0, df), 1.0) << df;
    EXPECT_EQ(chi2_upper_tail(-2.5, df), 1.0) << df;
    EXPECT_EQ(chi2_upper_tail(-0.0, df), 1.0) << df;
  }
  // Two degrees of freedom, and anything within 1e-12 of it, is exp(-x/2) exactly.
  for (const double x : {1e-300, 0.3, 5.0, 40.0, 1500.0}) {
    EXPECT_EQ(chi2_upper_tail(x, 2.0), std::exp(-x / 2.0)) << x;
    EXPECT_EQ(chi2_upper_tail(x, 2.0 + 5e-13), std::exp(-x / 2.0)) << x;
    EXPECT_EQ(chi2_upper_tail(x, 2.0 - 5e-13), std::exp(-x / 2.0)) << x;
  }
  // Just outside the window the incomplete gamma answers, still very close.
  EXPECT_NEAR(chi2_upper_tail(5.0, 2.0 + 2e-12), std::exp(-2.5), 1e-11);
  for (const double df : {1.0, 2.0, 3.5, 40.0}) EXPECT_EQ(chi2_upper_tail(inf, df), 0.0) << df;
  EXPECT_TRUE(std::isnan(chi2_upper_tail(nan, 1.0)));
  EXPECT_TRUE(std::isnan(chi2_upper_tail(1.0, nan)));
  // Outside the incomplete gamma's domain: a value, never an exception.
  EXPECT_TRUE(std::isnan(chi2_upper_tail(1.0, 0.0)));
  EXPECT_TRUE(std::isnan(chi2_upper_tail(1.0, -3.0)));
}

}  // namespace

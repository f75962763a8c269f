// The one-pass scan of a square matrix against a plain reading of every pair, in every memory
// layout, on matrices few enough in nonzero entries to keep them and too many to.
#include "numerics/matrix_scan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "numerics/blocks.hpp"
#include "numerics/stream.hpp"

namespace {

using kestrune::blocks::Block;
using kestrune::blocks::Links;
using kestrune::matrix_scan::Findings;
using kestrune::matrix_scan::Pair;
using kestrune::matrix_scan::Strided;
using kestrune::matrix_scan::Tests;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Every pair read in row order of the lower triangle, as the checks are written down.
Findings plain(const Eigen::MatrixXd& a, const Tests& tests) {
  Findings f;
  for (Eigen::Index i = 0; i < a.rows(); ++i) {
    for (Eigen::Index j = 0; j < a.cols(); ++j) f.finite = f.finite && std::isfinite(a(i, j));
    for (Eigen::Index j = 0; j < i; ++j) {
      const double lower = a(i, j), upper = a(j, i);
      const bool asymmetric = tests.tolerance == 0.0 ? lower != upper : std::fabs(lower - upper) > tests.tolerance;
      if (asymmetric && !f.first_asymmetric) f.first_asymmetric = Pair{i, j};
      f.symmetric = f.symmetric && !asymmetric;
      f.same_pattern = f.same_pattern && (lower != 0.0) == (upper != 0.0);
      if (tests.closeness) {
        if (std::fabs(lower) > *tests.closeness && !f.first_too_close) f.first_too_close = Pair{i, j};
        f.too_close = f.too_close || std::fabs(lower) > *tests.closeness || std::fabs(upper) > *tests.closeness;
      }
    }
  }
  return f;
}

// Families of `count` people scattered over the rows, each a chain of relatives; `density` of
// the other entries nonzero too (so that the scan keeps them or gives up keeping them).
Eigen::MatrixXd families(Eigen::Index n, double density, kestrune::stream::Stream& random) {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index i = 0; i + 1 < n; i += 3) {
    const Eigen::Index r = (i * 7) % n, c = ((i + 1) * 7) % n;
    a(r, c) = a(c, r) = 0.5;
  }
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < i; ++j)
      if (random.uniform() < density) a(i, j) = a(j, i) = 0.25 * random.uniform() - 0.1;
  return a;
}

struct Case {
  std::string name;
  Eigen::Index n;
  double density;
  // Changes to the matrix, as (row, col, value).
  std::vector<std::tuple<Eigen::Index, Eigen::Index, double>> changes;
  Tests tests;
};

// A matrix held in a given layout, viewed as Strided: its storage stays alive with it.
struct Held {
  std::vector<double> storage;
  Strided view;
};

Held column_major(const Eigen::MatrixXd& a) {
  Held h{std::vector<double>(a.data(), a.data() + a.size()), {}};
  h.view = Strided(h.storage.data(), a.rows(), a.cols(), 1, a.rows());
  return h;
}

Held row_major(const Eigen::MatrixXd& a) {
  Held h{std::vector<double>(static_cast<std::size_t>(a.size())), {}};
  for (Eigen::Index i = 0; i < a.rows(); ++i)
    for (Eigen::Index j = 0; j < a.cols(); ++j) h.storage[static_cast<std::size_t>(i * a.cols() + j)] = a(i, j);
  h.view = Strided(h.storage.data(), a.rows(), a.cols(), a.cols(), 1);
  return h;
}

// Every third element of a row-major array twice as wide, rows in reverse order, columns in
// reverse order: both steps negative, neither of one element.
Held reversed_strided(const Eigen::MatrixXd& a) {
  const Eigen::Index n = a.rows(), width = 3 * n;
  Held h{std::vector<double>(static_cast<std::size_t>(n * width), -7.0), {}};
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j)
      h.storage[static_cast<std::size_t>((n - 1 - i) * width + 3 * (n - 1 - j))] = a(i, j);
  h.view = Strided(h.storage.data() + (n - 1) * width + 3 * (n - 1), n, n, -width, -3);
  return h;
}

// Rows running backwards through column-major storage: one step of -1.
Held reversed_rows(const Eigen::MatrixXd& a) {
  const Eigen::MatrixXd flipped = a.colwise().reverse();
  Held h{std::vector<double>(flipped.data(), flipped.data() + flipped.size()), {}};
  h.view = Strided(h.storage.data() + (a.rows() - 1), a.rows(), a.cols(), -1, a.rows());
  return h;
}

class MatrixScan : public ::testing::TestWithParam<Case> {};

TEST_P(MatrixScan, RecordsWhatEveryPairShowsAndLinksTheRowRuleFamilies) {
  const Case& c = GetParam();
  kestrune::stream::Stream random(17);
  Eigen::MatrixXd a = families(c.n, c.density, random);
  for (const auto& [r, col, value] : c.changes) a(r, col) = value;
  const Findings expected = plain(a, c.tests);
  const std::vector<Block> expected_families = kestrune::blocks::family_blocks(a);

  const Block& last = expected_families.back();
  const Eigen::MatrixXd last_block = a(last, last);
  for (const Held& held : {column_major(a), row_major(a), reversed_strided(a), reversed_rows(a)}) {
    Links links(static_cast<std::size_t>(c.n));
    const Findings found = kestrune::matrix_scan::scan(held.view, c.tests, &links);
    EXPECT_EQ(found.finite, expected.finite);
    EXPECT_EQ(kestrune::matrix_scan::all_finite(held.view), expected.finite);
    EXPECT_EQ(found.symmetric, expected.symmetric);
    EXPECT_EQ(found.same_pattern, expected.same_pattern);
    EXPECT_EQ(found.too_close, expected.too_close);
    EXPECT_EQ(found.first_asymmetric, expected.first_asymmetric);
    EXPECT_EQ(found.first_too_close, expected.first_too_close);
    EXPECT_EQ(links.two_sided(), expected.same_pattern);
    EXPECT_EQ(kestrune::matrix_scan::families(held.view, links), expected_families);
    const Eigen::MatrixXd cut = held.view.cut(last);
    EXPECT_TRUE(((cut.array() == last_block.array()) || (cut.array().isNaN() && last_block.array().isNaN())).all());
  }
}

const Tests exact{};
const Tests close{1e-10, 0.9};

// n = 40 keeps every nonzero entry; n = 90 at density 0.8 has too many and goes tile by tile
// (tiles of 32, so with ragged edges).
INSTANTIATE_TEST_SUITE_P(
    Table, MatrixScan,
    ::testing::Values(
        Case{"kept_clean", 40, 0.0, {}, exact},
        Case{"kept_nan_after_asymmetry", 40, 0.05, {{3, 1, 0.3}, {38, 37, nan}}, exact},
        Case{"kept_infinite_diagonal", 40, 0.05, {{20, 20, -inf}}, exact},
        Case{"kept_negative_zero_mirrors_zero", 40, 0.0, {{5, 9, -0.0}}, exact},
        Case{"kept_one_sided_link", 40, 0.0, {{2, 30, 1e-11}}, close},
        Case{"kept_one_sided_link_lower", 40, 0.0, {{30, 2, 1e-11}}, close},
        Case{"kept_close_after_asymmetry", 40, 0.0, {{9, 4, 0.95}, {4, 9, 0.95}, {7, 3, 0.2}}, close},
        Case{"kept_upper_only_too_close", 40, 0.0, {{4, 9, 0.9 + 1e-11}, {9, 4, 0.9}}, close},
        Case{"tiles_clean", 90, 0.8, {}, close},
        Case{"tiles_nan_after_asymmetry", 90, 0.8, {{70, 3, 0.3}, {89, 88, nan}}, exact},
        Case{"tiles_one_sided_across_tiles", 90, 0.8, {{80, 1, 0.2}, {1, 80, 0.0}}, exact},
        Case{"tiles_asymmetry_before_closeness", 90, 0.8, {{64, 33, 0.95}, {33, 64, 0.95}, {40, 35, 0.5}}, close}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(MatrixScan, EmptyAndOneByOneHaveNoPairs) {
  Links none(0);
  const Findings empty = kestrune::matrix_scan::scan(Strided(nullptr, 0, 0, 1, 0), {}, &none);
  EXPECT_TRUE(empty.finite && empty.symmetric && empty.same_pattern);
  EXPECT_TRUE(kestrune::matrix_scan::families(Strided(nullptr, 0, 0, 1, 0), none).empty());
  const double one = nan;
  EXPECT_FALSE(kestrune::matrix_scan::scan(Strided(&one, 1, 1, 1, 1), {}).finite);
}

// Broadcast views (steps of 0) far larger than memory: each distinct value is read once.
TEST(MatrixScan, BroadcastViewsAreJudgedByWhatTheyHold) {
  const Eigen::Index huge = Eigen::Index{1} << 48;
  const double one = 1.0, not_a_number = nan;
  const std::vector<double> column{1.0, 2.0, inf};
  EXPECT_TRUE(kestrune::matrix_scan::all_finite(Strided(&one, huge, huge, 0, 0)));
  EXPECT_FALSE(kestrune::matrix_scan::all_finite(Strided(&not_a_number, 12, huge, 0, 0)));
  EXPECT_TRUE(kestrune::matrix_scan::all_finite(Strided(column.data(), 2, huge, 1, 0)));
  EXPECT_FALSE(kestrune::matrix_scan::all_finite(Strided(column.data(), huge, 3, 0, 1)));
  EXPECT_TRUE(kestrune::matrix_scan::all_finite(Strided(&not_a_number, 0, huge, 0, 0)));
}

}  // namespace

#include "numerics/matrix_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kestrune::matrix_scan {
namespace {

using Index = Eigen::Index;

// Elements tested at once in the streaming pass: small enough to stay in the first-level cache.
constexpr Index chunk = 128;
// The tile edge of the pair-by-pair pass: a tile and its mirror stay in the first-level cache.
constexpr Index tile = 32;

// A nonzero off-diagonal entry, placed at its pair: (row, col) with row > col.
struct Entry {
  std::uint32_t row, col;
  double value;
  bool before(const Entry& other) const { return row != other.row ? row < other.row : col < other.col; }
};

// Every pair with a nonzero entry goes through here, once; pairs of two zeros pass every test
// and link nobody, so they need not.
class Judge {
 public:
  Judge(const Tests& tests, Findings& findings, blocks::Links* links, std::span<const std::size_t> members)
      : tests_(tests), findings_(findings), links_(links), members_(members) {}

  // lower = a(row, col), upper = a(col, row), row > col.
  void pair(Index row, Index col, double lower, double upper) {
    const bool asymmetric =
        tests_.tolerance == 0.0 ? lower != upper : std::fabs(lower - upper) > tests_.tolerance;
    if (asymmetric) {
      findings_.symmetric = false;
      earliest(findings_.first_asymmetric, {row, col});
    }
    const bool lower_nonzero = lower != 0.0, upper_nonzero = upper != 0.0;  // NaN is nonzero
    if (lower_nonzero != upper_nonzero) {
      findings_.same_pattern = false;
      if (links_) links_->one_sided();
    }
    if (tests_.closeness) {
      if (std::fabs(lower) > *tests_.closeness) {
        findings_.too_close = true;
        earliest(findings_.first_too_close, {row, col});
      }
      if (std::fabs(upper) > *tests_.closeness) findings_.too_close = true;
    }
    if (links_ && (lower_nonzero || upper_nonzero)) links_->join(person(row), person(col));
  }

 private:
  static void earliest(std::optional<Pair>& first, Pair pair) {
    if (!first || pair < *first) first = pair;
  }
  std::size_t person(Index i) const {
    return members_.empty() ? static_cast<std::size_t>(i) : members_[static_cast<std::size_t>(i)];
  }

  const Tests& tests_;
  Findings& findings_;
  blocks::Links* links_;
  std::span<const std::size_t> members_;
};

// What the streaming pass keeps: the nonzero off-diagonal entries of each triangle, as long as
// they stay few (at most one in 64 entries, a few per cent of the matrix's memory).
struct Kept {
  explicit Kept(Index n)
      : budget(std::max<std::size_t>(4096, static_cast<std::size_t>(n) * static_cast<std::size_t>(n) / 64)) {}

  void meet(Index i, Index j, double value) {
    if (i == j || value == 0.0 || !complete) return;
    if (lower.size() + upper.size() == budget) {
      complete = false;
      lower = {};
      upper = {};
      return;
    }
    if (i > j) {
      lower.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), value});
    } else {
      upper.push_back({static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(i), value});
    }
  }

  std::size_t budget;
  bool complete = true;  // every nonzero off-diagonal entry is kept
  std::vector<Entry> lower, upper;
};

// The whole matrix once, in memory order: line by line along the axis of the smaller step, a
// chunk at a time, lines and chunks taken in ascending address whatever the signs of the steps.
// A chunk is tested as a whole for finiteness (x * 0 is 0 for every finite x) and for a nonzero
// entry; only a chunk that has one is looked at entry by entry.
bool stream(const Strided& a, Kept& kept) {
  const bool along_rows = std::abs(a.col_step) <= std::abs(a.row_step);
  const Index lines = along_rows ? a.rows : a.cols, length = along_rows ? a.cols : a.rows;
  const Index line_step = along_rows ? a.row_step : a.col_step, step = along_rows ? a.col_step : a.row_step;
  // Position u along an axis of n, in address order, is index u or n - 1 - u.
  const auto index = [](Index u, Index n, Index s) { return s < 0 ? n - 1 - u : u; };
  const Index forward = std::abs(step);
  bool finite = true;
  alignas(16) double gathered[chunk];
  for (Index v = 0; v < lines; ++v) {
    const Index line = index(v, lines, line_step);
    // The line's element of lowest address, and the elements from there on by `forward`.
    const double* lowest = a.data + line * line_step + (step < 0 ? (length - 1) * step : 0);
    for (Index u0 = 0; u0 < length; u0 += chunk) {
      const Index count = std::min(chunk, length - u0);
      const double* elements = lowest + u0 * forward;
      if (forward != 1) {
        for (Index u = 0; u < count; ++u) gathered[u] = elements[u * forward];
        elements = gathered;
      }
      const Eigen::Map<const Eigen::ArrayXd> x(elements, count);
      const double zeros = (x * 0.0).sum();  // NaN when some element is NaN or infinite
      const bool chunk_finite = zeros == 0.0;
      finite &= chunk_finite;
      if (chunk_finite && x.abs().maxCoeff() == 0.0) continue;
      for (Index u = 0; u < count; ++u) {
        const Index t = index(u0 + u, length, step);
        const double value = elements[u];
        if (along_rows) {
          kept.meet(line, t, value);
        } else {
          kept.meet(t, line, value);
        }
      }
    }
  }
  return finite;
}

// Every pair from the kept entries: both triangles in pair order, merged.
void judge_kept(Kept& kept, Judge& judge) {
  const auto order = [](const Entry& a, const Entry& b) { return a.before(b); };
  std::sort(kept.lower.begin(), kept.lower.end(), order);
  std::sort(kept.upper.begin(), kept.upper.end(), order);
  auto l = kept.lower.begin(), u = kept.upper.begin();
  while (l != kept.lower.end() || u != kept.upper.end()) {
    if (u == kept.upper.end() || (l != kept.lower.end() && l->before(*u))) {
      judge.pair(l->row, l->col, l->value, 0.0);
      ++l;
    } else if (l == kept.lower.end() || u->before(*l)) {
      judge.pair(u->row, u->col, 0.0, u->value);
      ++u;
    } else {
      judge.pair(l->row, l->col, l->value, u->value);
      ++l;
      ++u;
    }
  }
}

// Every pair, a tile of the lower triangle and its mirror at a time, for a matrix with too many
// nonzero entries to keep.
void judge_tiles(const Strided& a, Judge& judge) {
  const Index n = a.rows;
  double lower[tile][tile], upper[tile][tile];
  for (Index c0 = 0; c0 < n; c0 += tile) {
    const Index c1 = std::min(n, c0 + tile);
    for (Index r0 = c0; r0 < n; r0 += tile) {
      const Index r1 = std::min(n, r0 + tile);
      for (Index r = r0; r < r1; ++r)
        for (Index c = c0; c < c1; ++c) lower[r - r0][c - c0] = a(r, c);
      for (Index c = c0; c < c1; ++c)
        for (Index r = r0; r < r1; ++r) upper[r - r0][c - c0] = a(c, r);
      for (Index r = r0; r < r1; ++r) {
        for (Index c = c0; c < std::min(c1, r); ++c) {
          const double below = lower[r - r0][c - c0], above = upper[r - r0][c - c0];
          if (below == 0.0 && above == 0.0) continue;
          judge.pair(r, c, below, above);
        }
      }
    }
  }
}

}  // namespace

Eigen::MatrixXd Strided::cut(std::span<const std::size_t> indices) const {
  const auto m = static_cast<Index>(indices.size());
  Eigen::MatrixXd out(m, m);
  for (Index c = 0; c < m; ++c) {
    const auto ic = static_cast<Index>(indices[static_cast<std::size_t>(c)]);
    for (Index r = 0; r < m; ++r) out(r, c) = (*this)(static_cast<Index>(indices[static_cast<std::size_t>(r)]), ic);
  }
  return out;
}

Eigen::MatrixXd Strided::copy() const {
  Eigen::MatrixXd out(rows, cols);
  for (Index c = 0; c < cols; ++c)
    for (Index r = 0; r < rows; ++r) out(r, c) = (*this)(r, c);
  return out;
}

bool all_finite(const Strided& a) {
  const Index rows = a.row_step == 0 ? std::min<Index>(a.rows, 1) : a.rows;
  const Index cols = a.col_step == 0 ? std::min<Index>(a.cols, 1) : a.cols;
  // Along the axis of the smaller step, a chunk at a time (x * 0 is 0 for every finite x).
  const bool along_rows = std::abs(a.col_step) <= std::abs(a.row_step);
  const Index lines = along_rows ? rows : cols, length = along_rows ? cols : rows;
  const Index line_step = along_rows ? a.row_step : a.col_step, step = along_rows ? a.col_step : a.row_step;
  alignas(16) double gathered[chunk];
  for (Index v = 0; v < lines; ++v) {
    const double* line = a.data + v * line_step;
    for (Index u0 = 0; u0 < length; u0 += chunk) {
      const Index count = std::min(chunk, length - u0);
      const double* elements = line + u0 * step;
      if (step != 1) {
        for (Index u = 0; u < count; ++u) gathered[u] = line[(u0 + u) * step];
        elements = gathered;
      }
      if (!((Eigen::Map<const Eigen::ArrayXd>(elements, count) * 0.0).sum() == 0.0)) return false;
    }
  }
  return true;
}

std::vector<Eigen::MatrixXd> copies(std::span<const Strided> matrices) {
  std::vector<Eigen::MatrixXd> out;
  out.reserve(matrices.size());
  for (const Strided& a : matrices) out.push_back(a.copy());
  return out;
}

Findings scan(const Strided& a, const Tests& tests, blocks::Links* links, std::span<const std::size_t> members) {
  Findings findings;
  Judge judge(tests, findings, links, members);
  Kept kept(a.rows);
  findings.finite = stream(a, kept);
  if (kept.complete) {
    judge_kept(kept, judge);
  } else {
    judge_tiles(a, judge);
  }
  return findings;
}

std::vector<blocks::Block> families(const Strided& a, blocks::Links& links) {
  return links.families([&](std::size_t i, std::size_t j) {
    return a(static_cast<Index>(i), static_cast<Index>(j)) != 0.0;
  });
}

}  // namespace kestrune::matrix_scan

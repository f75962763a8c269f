// One pass over a dense square matrix, read where it lies, that records what the checks of a
// relationship-like input need: whether every entry is finite, how each entry compares with its
// mirror, how close the off-diagonal entries come, and which people the nonzero entries link.
//
// The pass only records; the caller decides in its own order (a matrix with an asymmetric pair
// and a NaN reports both, and a caller that tests finiteness first reports the NaN).
//
// It reads the matrix once in memory order, at the speed of a plain sum, and keeps the nonzero
// off-diagonal entries it meets; the pairs are then judged from those alone, since a pair of
// zeros passes every test. A matrix with too many nonzero entries to keep cheaply is judged
// tile by tile instead, in a second pass.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "numerics/blocks.hpp"

namespace kestrune::matrix_scan {

// A read-only view of a dense matrix in any layout: element (i, j) lies at
// data[i * row_step + j * col_step], steps counted in elements and of either sign. It owns
// nothing; the memory must outlive it.
struct Strided {
  const double* data = nullptr;
  Eigen::Index rows = 0, cols = 0;
  Eigen::Index row_step = 0, col_step = 0;

  Strided() = default;
  Strided(const double* data, Eigen::Index rows, Eigen::Index cols, Eigen::Index row_step, Eigen::Index col_step)
      : data(data), rows(rows), cols(cols), row_step(row_step), col_step(col_step) {}
  // Column-major Eigen storage.
  Strided(const Eigen::MatrixXd& m) : Strided(m.data(), m.rows(), m.cols(), 1, m.rows()) {}
  Strided(const Eigen::Ref<const Eigen::MatrixXd>& m) : Strided(m.data(), m.rows(), m.cols(), 1, m.outerStride()) {}

  double operator()(Eigen::Index i, Eigen::Index j) const { return data[i * row_step + j * col_step]; }
  bool square() const { return rows == cols; }
  // a(I, I) for the rows and columns I, in that order.
  Eigen::MatrixXd cut(std::span<const std::size_t> indices) const;
  // The whole matrix in column-major storage: taken only once its shape has been checked, so
  // that a view of a wrongly shaped array costs no copy.
  Eigen::MatrixXd copy() const;
};

// Whether every entry of a is finite, read in place. An axis of step 0 (a broadcast view) holds
// one value along its length and is read once, so a view far larger than memory costs only
// what it really holds.
bool all_finite(const Strided& a);

// Copies of whole matrices, in order, for a model that keeps them once their checks have passed.
std::vector<Eigen::MatrixXd> copies(std::span<const Strided> matrices);

// What the pass tests beyond finiteness.
struct Tests {
  // A pair whose entries differ by more than this is asymmetric; 0 asks for exact equality
  // (0.0 and -0.0 are equal).
  double tolerance = 0.0;
  // Off-diagonal entries larger than this in magnitude are too close; absent, none is.
  std::optional<double> closeness;
};

// A pair (row, col) with row > col: the lower entry a(row, col) and its mirror a(col, row).
struct Pair {
  Eigen::Index row, col;
  friend bool operator<(const Pair& a, const Pair& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; }
  friend bool operator==(const Pair&, const Pair&) = default;
};

// What one pass met. Pairs are taken in row order of the lower triangle: row ascending, then
// column ascending.
struct Findings {
  bool finite = true;        // no entry is NaN or infinite
  bool symmetric = true;     // no pair differs beyond the tolerance
  bool same_pattern = true;  // every entry is nonzero exactly where its mirror is
  bool too_close = false;    // some off-diagonal entry, of either triangle, is too close
  std::optional<Pair> first_asymmetric;  // the first asymmetric pair
  std::optional<Pair> first_too_close;   // the first pair whose lower entry is too close
};

// Scans the square matrix a. With `links`, every pair with a nonzero entry (NaN included; -0.0
// is zero) joins its two people there, and a pair nonzero on one side only marks the links one
// sided; `members` names the people of a's rows (row i is person members[i]), when a is one
// block of a larger matrix. Pairs in the findings are a's own rows and columns.
Findings scan(const Strided& a, const Tests& tests, blocks::Links* links = nullptr,
              std::span<const std::size_t> members = {});

// The families of the square matrix a by the row rule of blocks::family_blocks, from the links
// a scan of it met; a is read again only when some link was one sided.
std::vector<blocks::Block> families(const Strided& a, blocks::Links& links);

}  // namespace kestrune::matrix_scan

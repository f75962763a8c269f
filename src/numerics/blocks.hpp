// Families: the connected components of the nonzero off-diagonal pattern of a matrix.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <vector>

namespace kestrune::blocks {

// Whether k(i, j) == k(j, i) exactly for every pair; the matrix must be square.
bool is_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& k);

// Row indices of one family, strictly ascending.
using Block = std::vector<std::size_t>;

// The families of the square matrix k, ordered by smallest member; every row lies in
// exactly one. Row i links to j when k(i, j) != 0.0 (NaN links, -0.0 does not); the
// diagonal is never read. A person without links is a family of one.
std::vector<Block> family_blocks(const Eigen::Ref<const Eigen::MatrixXd>& k);

// The same blocks for a matrix the caller has checked to be exactly symmetric, read down
// columns, which is contiguous in column-major storage and much faster at large orders.
std::vector<Block> family_blocks_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& k);

}  // namespace kestrune::blocks

// Matrices over a sample that are zero outside the diagonal blocks of one partition of the
// people, kept as those blocks: the structured covariance matrices of a model whose likelihood
// factorises over families, at the cost of the blocks rather than of the sample squared.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "numerics/blocks.hpp"
#include "numerics/matrix_scan.hpp"

namespace kestrune::block_matrix {

// People 0 .. n-1 split into parts, each ascending and ordered by smallest member, with each
// person's part and place in it.
class Partition {
 public:
  explicit Partition(std::vector<blocks::Block> parts);

  std::size_t n() const { return part_of_.size(); }
  const std::vector<blocks::Block>& parts() const { return parts_; }
  std::size_t part_of(std::size_t person) const { return part_of_[person]; }
  std::size_t place_of(std::size_t person) const { return place_of_[person]; }

 private:
  std::vector<blocks::Block> parts_;
  std::vector<std::size_t> part_of_, place_of_;
};

// An n x n matrix whose entries outside the diagonal blocks of its partition are zero. Matrices
// that are combined must share one partition.
class BlockMatrix {
 public:
  BlockMatrix(std::shared_ptr<const Partition> partition, std::vector<Eigen::MatrixXd> blocks);

  // The blocks of `whole` (a Strided view, or a BlockMatrix over a coarser partition) on each
  // part; whatever `whole` holds outside them is left out.
  template <class Whole>
  static BlockMatrix cut(const Whole& whole, std::shared_ptr<const Partition> partition) {
    std::vector<Eigen::MatrixXd> blocks;
    blocks.reserve(partition->parts().size());
    for (const blocks::Block& part : partition->parts()) blocks.push_back(whole.cut(part));
    return BlockMatrix(std::move(partition), std::move(blocks));
  }

  std::size_t n() const { return partition_->n(); }
  const std::shared_ptr<const Partition>& partition() const { return partition_; }
  const Eigen::MatrixXd& block(std::size_t part) const { return blocks_[part]; }

  double operator()(std::size_t i, std::size_t j) const;
  // The entries at the rows and columns I, in that order, wherever they lie.
  Eigen::MatrixXd cut(std::span<const std::size_t> indices) const;
  // The diagonal summed in index order.
  double trace() const;

  BlockMatrix& operator+=(const BlockMatrix& other);
  friend BlockMatrix operator-(BlockMatrix a, const BlockMatrix& b);
  // The sum over all n^2 entries of a(i, j) b(i, j).
  friend double inner_product(const BlockMatrix& a, const BlockMatrix& b);

 private:
  std::shared_ptr<const Partition> partition_;
  std::vector<Eigen::MatrixXd> blocks_;
};

// matrix_scan::scan of the whole n x n matrix, made block by block: the entries outside the
// blocks are zeros, which pass every test and link nobody. The findings carry no pairs.
matrix_scan::Findings scan(const BlockMatrix& a, const matrix_scan::Tests& tests, blocks::Links* links);

}  // namespace kestrune::block_matrix

// Family blocks in their eigenbases: the frame in which a covariance a K + b I is diagonal.
//
// K is cut into family blocks and each block's part of K is eigendecomposed once; any
// vector or matrix over the people is then brought into that frame block by block, at the
// cost of the blocks' orders rather than the sample's.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "numerics/blocks.hpp"
#include "numerics/matrix_scan.hpp"

namespace kestrune::rotation {

// One family: its rows (ascending) and the eigenvectors of K restricted to them, column j
// paired with the block's j-th eigenvalue.
struct RotationBlock {
  std::vector<std::size_t> indices;
  Eigen::MatrixXd eigenvectors;
};

// The blocks of one K, and their eigenvalues block after block, each within its block's
// rounding of zero set to exactly 0.0 (eigen::zero_rounding); `smallest` is the smallest
// eigenvalue as the decompositions returned it. Position r of a rotated vector is an eigen-direction: block b holds the positions
// after all earlier blocks, in the order of its eigenvalues.
struct Rotation {
  std::vector<RotationBlock> blocks;
  Eigen::VectorXd eigenvalues;
  double smallest = 0.0;
};

// Scans rotate their columns this many at a time, one matrix product per block and slab: as
// fast per column as one product over every column, and few enough to hold several at once.
inline constexpr Eigen::Index slab_columns = 256;

// U_b^T x[indices] for every block b, at the block's positions; x has one entry per person.
Eigen::VectorXd rotate(std::span<const RotationBlock> blocks, const Eigen::Ref<const Eigen::VectorXd>& x);
// The same for every column of x (one row per person), in one matrix product per block.
Eigen::MatrixXd rotate_columns(std::span<const RotationBlock> blocks, const Eigen::Ref<const Eigen::MatrixXd>& x);
// The same written into `out`, x's shape. Large blocks go through BLAS on one OpenBLAS
// thread, so that a result does not depend on the machine; callers spread slabs of columns
// over the pool themselves.
void rotate_columns_into(std::span<const RotationBlock> blocks, const Eigen::Ref<const Eigen::MatrixXd>& x,
                         Eigen::Ref<Eigen::MatrixXd> out);

// Eigendecomposes k on each family of `families` (which must partition k's rows), in order.
Rotation decompose(const matrix_scan::Strided& k, std::vector<blocks::Block> families);

}  // namespace kestrune::rotation

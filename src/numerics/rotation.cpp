#include "numerics/rotation.hpp"

#include <cmath>
#include <utility>

#include "numerics/eigen.hpp"

namespace kestrune::rotation {

Rotation decompose(const matrix_scan::Strided& k, std::vector<blocks::Block> families) {
  Rotation rotation;
  rotation.eigenvalues.resize(k.rows);
  rotation.blocks.reserve(families.size());
  Eigen::Index row = 0;
  for (blocks::Block& indices : families) {
    const auto m = static_cast<Eigen::Index>(indices.size());
    eigen::SymmetricEigen eigen = eigen::symmetric_eigen(k.cut(indices));
    const double smallest = m > 0 ? eigen.values.minCoeff() : 0.0;
    rotation.smallest = row == 0 ? smallest : std::fmin(rotation.smallest, smallest);
    eigen::zero_rounding(eigen.values);
    rotation.eigenvalues.segment(row, m) = eigen.values;
    rotation.blocks.push_back({std::move(indices), std::move(eigen.vectors)});
    row += m;
  }
  return rotation;
}

Eigen::VectorXd rotate(std::span<const RotationBlock> blocks, const Eigen::Ref<const Eigen::VectorXd>& x) {
  Eigen::VectorXd rotated(x.size());
  Eigen::Index row = 0;
  for (const RotationBlock& block : blocks) {
    const auto m = static_cast<Eigen::Index>(block.indices.size());
    Eigen::VectorXd x_b(m);
    for (Eigen::Index r = 0; r < m; ++r) x_b[r] = x[static_cast<Eigen::Index>(block.indices[r])];
    rotated.segment(row, m).noalias() = block.eigenvectors.transpose() * x_b;
    row += m;
  }
  return rotated;
}

Eigen::MatrixXd rotate_columns(std::span<const RotationBlock> blocks, const Eigen::Ref<const Eigen::MatrixXd>& x) {
  Eigen::MatrixXd rotated(x.rows(), x.cols());
  Eigen::Index row = 0;
  for (const RotationBlock& block : blocks) {
    const auto m = static_cast<Eigen::Index>(block.indices.size());
    Eigen::MatrixXd x_b(m, x.cols());
    for (Eigen::Index r = 0; r < m; ++r) x_b.row(r) = x.row(static_cast<Eigen::Index>(block.indices[r]));
    rotated.middleRows(row, m).noalias() = block.eigenvectors.transpose() * x_b;
    row += m;
  }
  return rotated;
}

}  // namespace kestrune::rotation

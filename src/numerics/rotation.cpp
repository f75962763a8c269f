#include "numerics/rotation.hpp"

#include <cmath>
#include <utility>

#include "numerics/eigen.hpp"
#include "numerics/lapack.hpp"
#include "numerics/threads.hpp"

namespace kestrune::rotation {
namespace {

// Blocks from this order are rotated by BLAS's dgemm; below it Eigen's product, which needs
// no call overhead, serves the small families.
constexpr Eigen::Index gemm_order = 32;

}  // namespace

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
  rotate_columns_into(blocks, x, rotated);
  return rotated;
}

void rotate_columns_into(std::span<const RotationBlock> blocks, const Eigen::Ref<const Eigen::MatrixXd>& x,
                         Eigen::Ref<Eigen::MatrixXd> out) {
  if (x.cols() == 0) return;
  const threads::OneBlasThread one_blas_thread;
  Eigen::MatrixXd x_b;
  Eigen::Index row = 0;
  for (const RotationBlock& block : blocks) {
    const auto m = static_cast<Eigen::Index>(block.indices.size());
    if (m < gemm_order) {
      x_b.resize(m, x.cols());
      for (Eigen::Index r = 0; r < m; ++r) x_b.row(r) = x.row(static_cast<Eigen::Index>(block.indices[r]));
      out.middleRows(row, m).noalias() = block.eigenvectors.transpose() * x_b;
      row += m;
      continue;
    }
    // The block's rows of x where they lie when they are consecutive, else gathered column by
    // column.
    const double* source = x.data() + block.indices.front();
    auto ld = static_cast<int>(x.outerStride());
    if (block.indices.back() - block.indices.front() + 1 != block.indices.size()) {
      x_b.resize(m, x.cols());
      for (Eigen::Index c = 0; c < x.cols(); ++c) {
        for (Eigen::Index r = 0; r < m; ++r) x_b(r, c) = x(static_cast<Eigen::Index>(block.indices[r]), c);
      }
      source = x_b.data();
      ld = static_cast<int>(m);
    }
    const auto order = static_cast<int>(m);
    const auto cols = static_cast<int>(x.cols());
    const auto ld_out = static_cast<int>(out.outerStride());
    constexpr double one = 1.0, zero = 0.0;
    dgemm_("T", "N", &order, &cols, &order, &one, block.eigenvectors.data(), &order, source, &ld, &zero,
           out.data() + row, &ld_out, 1, 1);
    row += m;
  }
}

}  // namespace kestrune::rotation
